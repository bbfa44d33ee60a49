#include "providers.h"

#include "lookup.h"

#include "config.h"

#include <toml++/toml.h>

namespace valdane::svc {

std::unique_ptr<Provider> MakeProvider(const std::string& name, const toml::table& section,
                                       ProviderContext& context, std::string* error) {
    const std::string type = section["type"].value_or(std::string());
    if (type == "fixed")
        return MakeFixedProvider(name, section, context, error);
    if (type == "none")
        return MakeNoneProvider(name, section, context, error);
    if (type == "homepage")
        return MakeHomepageProvider(name, section, context.env, error);
    if (type == "serp")
        return MakeSerpProvider(name, section, context, error);
    if (type == "serp-api")
        return MakeSerpApiProvider(name, section, context, error);
    if (type == "google-cse")
        return MakeGoogleCseProvider(name, section, context, error);
    if (type == "openpagerank")
        return MakeOpenPageRankProvider(name, section, context, error);
    if (type == "tranco")
        return MakeTrancoProvider(name, section, context, error);
    if (type == "cc-graph")
        return MakeCcGraphProvider(name, section, context, error);
    if (type == "trend")
        return MakeTrendProvider(name, section, context, error);
    if (type == "rdap" || type == "whois")
        return MakeRegistrationProvider(name, section, context.env, context.config.data_dir, error);
    *error = "key 'providers." + name + ".type': unknown type '" + type + "'";
    return nullptr;
}

std::map<std::string, std::unique_ptr<Provider>> MakeProviders(ProviderContext& context,
                                                               std::string* error) {
    std::map<std::string, std::unique_ptr<Provider>> providers;
    for (const auto& [name, section] : context.config.providers) {
        auto provider = MakeProvider(name, *section, context, error);
        if (!provider)
            return {};
        providers.emplace(name, std::move(provider));
    }
    return providers;
}

} // namespace valdane::svc
