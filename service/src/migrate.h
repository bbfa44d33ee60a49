#pragma once

#include "env.h"

#include <cstdio>
#include <string>

namespace valdane::svc {

// Copies every measurement and upstream state from one store to another (each a data folder,
// a measurements.db or a postgresql:// URI), in batches in the order the source kept them. A
// copy cut short may simply run again: what the target holds already is skipped. Ends by
// comparing counts; 0 when the target holds every measurement of the source, else 1. Progress
// and the counts go to out, failures to the log.
int MigrateStore(const std::string& from, const std::string& to, Env& env, std::FILE* out);

} // namespace valdane::svc
