#include "providers.h"

#include <toml++/toml.h>

namespace valdane::svc {
namespace {

// Stands behind a column no source serves, so that it answers "-1" rather than a zero.
class NoneProvider final : public Provider {
  public:
    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        Measurement m;
        m.status = Status::Unsupported;
        m.detail = "没有为此栏配置数据来源";
        return std::vector<Measurement>(request.columns.size(), m);
    }
    bool Local() const override { return true; }
    std::string Describe() const override { return "无数据来源"; }
};

} // namespace

std::unique_ptr<Provider> MakeNoneProvider(const std::string& name, const toml::table& section,
                                           ProviderContext&, std::string* error) {
    for (auto&& [key, value] : section)
        if (key != "type") {
            *error = "unknown key 'providers." + name + "." + std::string(key.str()) + "'";
            return nullptr;
        }
    return std::make_unique<NoneProvider>();
}

} // namespace valdane::svc
