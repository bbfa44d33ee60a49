// Costs of the window parts: building the whole main window, switching panels, painting one
// picture button and laying out one titled frame.
#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/form_main.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

static void BuildMainWindow(benchmark::State& state) {
    for (auto _ : state) {
        Form_Main form;
        benchmark::DoNotOptimize(form.ListView1(2));
    }
}
BENCHMARK(BuildMainWindow)->Unit(benchmark::kMillisecond);

static void SwitchPanel(benchmark::State& state) {
    Form_Main form;
    form.show();
    int panel = 0;
    for (auto _ : state) {
        form.CurrentPanel = panel;
        form.ShowPanel();
        panel = (panel + 1) % 7;
    }
}
BENCHMARK(SwitchPanel)->Unit(benchmark::kMicrosecond);

static void PaintButton(benchmark::State& state) {
    CtlButton button;
    button.resize(97, 30);
    button.setCaption(QStringLiteral("收录查询"));
    QImage target(97, 30, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        button.render(&target);
        benchmark::DoNotOptimize(target.bits());
    }
}
BENCHMARK(PaintButton)->Unit(benchmark::kMicrosecond);

static void LayoutFrameWithCaption(benchmark::State& state) {
    CtlFrame frame;
    frame.show();
    int i = 0;
    for (auto _ : state) {
        frame.setCaption((++i % 2) ? QStringLiteral("网址") : QStringLiteral("地址配置"));
        benchmark::DoNotOptimize(frame.topEdgeTwips());
    }
}
BENCHMARK(LayoutFrameWithCaption)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
