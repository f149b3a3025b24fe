// Runs a program with arguments, collecting its standard output, standard
// error and exit status, with a bound on how long it may take.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when it did not exit normally
    bool timedOut = false;
};

// The environment is inherited. The program is killed after timeoutMs.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutMs = 10000);
