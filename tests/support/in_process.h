// Helpers for tests that drive the transfer attempt and the retry policy
// inside the test process: stderr capture, file contents, descriptor counts.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "http/transfer.h"

struct StderrCapture {
    int savedDescriptor = -1;
    std::FILE* file = nullptr;
};

// Sends standard error to a temporary file until endStderrCapture.
void beginStderrCapture(StderrCapture& capture);

// Restores standard error. Returns what was written meanwhile.
std::string endStderrCapture(StderrCapture& capture);

// Returns the whole content of the file; leaves the position at its end.
std::string fileBytes(std::FILE* file);

// Returns the number of descriptors the process has open.
int openDescriptorCount();

// Fills the request for GET path from 127.0.0.1:port (the Host line names
// both) into a new temporary file.
void prepareRequest(TransferRequest& request, unsigned short port, const char* path);

// Makes the first attempt and, when it failed, the retries, as a run does.
// Returns the exit status a run would end with (leaving out the final close).
int transferWithRetries(TransferRequest& request, TransferResult& result);

// Names each case of a parameterised suite by its name field, which says
// the fault it catches.
struct CaseName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& param) const {
        return param.param.name;
    }
};
