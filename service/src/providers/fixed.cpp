#include "providers.h"

#include "protocol.h"

#include <toml++/toml.h>

namespace valdane::svc {
namespace {

// Answers with what its section says, for demonstrations and tests:
//   values.sites = [7 numbers], values.whois = ["text"], values.alexa = [9 mixed], ...
//   status = "ok" (any status name), detail = "why"
class FixedProvider final : public Provider {
  public:
    FixedProvider(std::string name, Status status, std::string detail,
                  std::map<Page, std::vector<Measurement>> values)
        : name_(std::move(name)), status_(status), detail_(std::move(detail)),
          values_(std::move(values)) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::vector<Measurement> out;
        const auto page = values_.find(request.page);
        for (int column : request.columns) {
            Measurement m;
            if (page == values_.end() || column < 0 ||
                column >= static_cast<int>(page->second.size())) {
                m.detail = "providers." + name_ + ".values." + std::string(PageName(request.page)) +
                           " not given";
            } else if (IsFresh(status_)) {
                m = page->second[static_cast<std::size_t>(column)];
                m.status = status_;
            } else {
                m.status = status_;
                m.detail = detail_;
            }
            out.push_back(std::move(m));
        }
        return out;
    }

    bool Local() const override { return true; }
    std::string Describe() const override { return "固定值（配置文件 [providers." + name_ + "]）"; }

  private:
    std::string name_;
    Status status_;
    std::string detail_;
    std::map<Page, std::vector<Measurement>> values_;
};

} // namespace

std::unique_ptr<Provider> MakeFixedProvider(const std::string& name, const toml::table& section,
                                            ProviderContext&, std::string* error) {
    const std::string prefix = "key 'providers." + name + ".";
    Status status = Status::Ok;
    std::string detail;
    std::map<Page, std::vector<Measurement>> values;
    for (auto&& [key, node] : section) {
        const std::string k(key.str());
        if (k == "type")
            continue;
        if (k == "status" || k == "detail") {
            if (!node.is_string()) {
                *error = prefix + k + "': expected a string";
                return nullptr;
            }
            const std::string text = **node.as_string();
            if (k == "detail") {
                detail = text;
            } else if (auto s = StatusFromName(text)) {
                status = *s;
            } else {
                *error = prefix + k + "': unknown status '" + text + "'";
                return nullptr;
            }
            continue;
        }
        if (k != "values" || !node.is_table()) {
            *error = prefix + k + "': unknown key (expected type, status, detail, values)";
            return nullptr;
        }
        for (auto&& [page_key, list] : *node.as_table()) {
            const std::string where = prefix + "values." + std::string(page_key.str()) + "'";
            const auto page = PageFromName(page_key.str());
            const toml::array* array = list.as_array();
            if (!page || !array || static_cast<int>(array->size()) != ColumnCount(*page)) {
                *error = where + ": expected one value per column of a page";
                return nullptr;
            }
            std::vector<Measurement>& row = values[*page];
            for (int column = 0; column < ColumnCount(*page); ++column) {
                const toml::node& item = *array->get(static_cast<std::size_t>(column));
                Measurement m;
                if (IsNumericColumn(*page, column) ? !item.is_integer() : !item.is_string()) {
                    *error = where + ": column " + std::to_string(column + 1) + " must be " +
                             (IsNumericColumn(*page, column) ? "an integer" : "a string");
                    return nullptr;
                }
                if (item.is_integer())
                    m.number = **item.as_integer();
                else
                    m.text = **item.as_string();
                row.push_back(std::move(m));
            }
        }
    }
    return std::make_unique<FixedProvider>(name, status, std::move(detail), std::move(values));
}

} // namespace valdane::svc
