#include "providers/engines.h"

#include <array>
#include <utility>

namespace valdane::svc {

std::unique_ptr<Provider> MakeSerpProvider(const std::string&, const toml::table&, ProviderContext&,
                                           std::string*);
std::unique_ptr<Provider> MakeGoogleCseProvider(const std::string&, const toml::table&,
                                                ProviderContext&, std::string*);
std::unique_ptr<Provider> MakeOpenPageRankProvider(const std::string&, const toml::table&,
                                                   ProviderContext&, std::string*);
std::unique_ptr<Provider> MakeTrancoProvider(const std::string&, const toml::table&,
                                             ProviderContext&, std::string*);
std::unique_ptr<Provider> MakeCcGraphProvider(const std::string&, const toml::table&,
                                              ProviderContext&, std::string*);
std::unique_ptr<Provider> MakeTrendProvider(const std::string&, const toml::table&,
                                            ProviderContext&, std::string*);

ProviderFactory FindEngineProviderType(std::string_view type) {
    static constexpr std::array<std::pair<std::string_view, ProviderFactory>, 6> kTypes{{
        {"serp", MakeSerpProvider},
        {"google-cse", MakeGoogleCseProvider},
        {"openpagerank", MakeOpenPageRankProvider},
        {"tranco", MakeTrancoProvider},
        {"cc-graph", MakeCcGraphProvider},
        {"trend", MakeTrendProvider},
    }};
    for (const auto& [name, factory] : kTypes)
        if (name == type)
            return factory;
    return nullptr;
}

} // namespace valdane::svc
