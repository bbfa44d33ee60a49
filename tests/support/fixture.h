#pragma once

// What the desktop tests share: whole-file helpers, a port nobody listens on, and one desktop
// under test (a fake query service, a scratch folder, recorded desktop requests, the window).

#include "controls/form_main.h"
#include "fakedesktop.h"
#include "fakequeryservice.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <type_traits>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

// The file's bytes, or "<unreadable>".
QByteArray ContentOf(const QString& path);
// Rewrites the file in place (same inode), as an editor that does not rename would.
void PutContent(const QString& path, const QByteArray& bytes);
// Sets the file's modification time, as another program's edit or a quiet spell would.
void SetModified(const QString& path, const QDateTime& when);
// A port on 127.0.0.1 on which nothing listens (free at the moment it is asked for).
quint16 FreePort();
// One row of a data-driven test, its values in column order.
template <typename... T> void addRow(const char* name, const T&... values) {
    (QTest::newRow(name) << ... << values);
}
// What f gives for each input, to compare a whole table of answers in one go.
template <typename F, typename R> auto Each(F f, const R& inputs) {
    QList<std::decay_t<decltype(f(*std::begin(inputs)))>> out;
    for (const auto& in : inputs)
        out << f(in);
    return out;
}
template <typename F, typename In> auto Each(F f, std::initializer_list<In> inputs) {
    return Each<F, std::initializer_list<In>>(f, inputs);
}
// One data column "row" of plain structs, each named by its first member, name.
template <typename Row> void addRows(std::initializer_list<Row> rows) {
    QTest::addColumn<Row>("row");
    for (const Row& row : rows)
        QTest::newRow(row.name) << row;
}

#ifdef Q_OS_LINUX
// Lowers one limit of the process for the life of the object: with RLIMIT_FSIZE every write
// beyond the limit fails as on a full disk, with RLIMIT_DATA every allocation beyond it fails.
class ResourceLimit {
  public:
    ResourceLimit(int resource, rlim_t limit);
    ~ResourceLimit();
    ResourceLimit(const ResourceLimit&) = delete;
    ResourceLimit& operator=(const ResourceLimit&) = delete;

  private:
    int m_resource;
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};
#endif

// The window with its files in a scratch folder, its service a fake on 127.0.0.1.
struct DesktopFixture {
    explicit DesktopFixture(std::chrono::milliseconds timeLimit = std::chrono::seconds(5));
    ~DesktopFixture();
    QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    FakeQueryService service;
    FakeDesktop desktop;
    std::unique_ptr<Form_Main> form;
};
