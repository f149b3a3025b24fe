// The bench file: which modules one simulator process hosts and how they are
// reached. Plain text, one statement per line, '#' starts a comment:
//
//   bind 127.0.0.1                 address of the TCP listeners (default)
//   discovery veth1                answer UDP discovery on this interface
//   module NAME key=value ...      one module (see README.md for the keys)
//   modules N PREFIX key=value ... N modules PREFIX1..PREFIXN, serials counting
//                                  up from serial= (see README.md)
#pragma once

#include <string>
#include <vector>

#include "modsim/Module.h"

namespace modsim {

// The most modules one `modules` statement makes.
constexpr unsigned long kMaxBenchModules = 100;

struct BenchConfig {
    std::string bind = "127.0.0.1";
    std::string discovery; // interface name or IPv4 address; empty: off
    std::vector<ModuleConfig> modules;
};

// Each returns false and sets `error` (with the line number where there is one)
// on bad input; `cfg` then keeps what it held before the call.
bool parseBench(const std::string& text, BenchConfig& cfg, std::string& error);
bool loadBenchFile(const std::string& path, BenchConfig& cfg, std::string& error);
// One "NAME key=value ..." module statement (what follows "module").
bool parseModuleSpec(const std::string& spec, BenchConfig& cfg, std::string& error);
// One "N PREFIX key=value ..." statement (what follows "modules").
bool parseModulesSpec(const std::string& spec, BenchConfig& cfg, std::string& error);
// Checks the whole bench: unique names, addresses, routers that exist.
bool validateBench(const BenchConfig& cfg, std::string& error);

} // namespace modsim
