#pragma once

// One factory per provider type; registry.cpp picks one by the section's "type".
#include "provider.h"

namespace valdane::svc {

std::unique_ptr<Provider> MakeFixedProvider(const std::string& name, const toml::table& section,
                                            ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeNoneProvider(const std::string& name, const toml::table& section,
                                           ProviderContext& context, std::string* error);

} // namespace valdane::svc
