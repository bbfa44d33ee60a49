#pragma once

#include "env.h"
#include "provider.h"

#include <filesystem>
#include <memory>
#include <string>

namespace valdane::svc {

// The text a missing or withheld text field of the ranking page carries.
inline constexpr std::string_view kUndisclosed = "未公开";

// type "homepage": 站点名称 and 网站简介 of the ranking page from the site's home page.
std::unique_ptr<Provider> MakeHomepageProvider(const std::string& name, const toml::table& section,
                                               Env& env, std::string* error);

// type "rdap": the WHOIS page and the registration fields of the ranking page from RDAP, with
// port-43 WHOIS where a TLD has no RDAP service. type "whois": port-43 WHOIS only.
// The RDAP bootstrap file is cached in data_dir (not at all when it is empty).
std::unique_ptr<Provider> MakeRegistrationProvider(const std::string& name,
                                                   const toml::table& section, Env& env,
                                                   const std::filesystem::path& data_dir,
                                                   std::string* error);

} // namespace valdane::svc
