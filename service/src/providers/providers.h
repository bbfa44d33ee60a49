#pragma once

// One factory per provider type; registry.cpp picks one by the section's "type".
#include "provider.h"

namespace valdane::svc {

std::unique_ptr<Provider> MakeFixedProvider(const std::string& name, const toml::table& section,
                                            ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeNoneProvider(const std::string& name, const toml::table& section,
                                           ProviderContext& context, std::string* error);

// Search engine result counts, rank APIs and imported rank lists.
std::unique_ptr<Provider> MakeSerpProvider(const std::string& name, const toml::table& section,
                                           ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeSerpApiProvider(const std::string& name, const toml::table& section,
                                              ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeGoogleCseProvider(const std::string& name, const toml::table& section,
                                                ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeOpenPageRankProvider(const std::string& name,
                                                   const toml::table& section,
                                                   ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeTrancoProvider(const std::string& name, const toml::table& section,
                                             ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeCcGraphProvider(const std::string& name, const toml::table& section,
                                              ProviderContext& context, std::string* error);
std::unique_ptr<Provider> MakeTrendProvider(const std::string& name, const toml::table& section,
                                            ProviderContext& context, std::string* error);
// The Common Crawl value by PageRank (or harmonic centrality) position.
std::unique_ptr<Provider> MakeCcGraph(ProviderContext& context, bool harmonic);

} // namespace valdane::svc
