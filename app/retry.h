// What happens after a failed first attempt: retries that resume the file
// with a byte range or start it over, until one completes or they give up.
#pragma once

#include <cstdint>

#include "http/transfer.h"

// A failed retry that made the file grow by fewer bytes than this counts
// as poor.
const std::int64_t kProductiveBytes = 25600;
const int kPoorRetryLimit = 3;
// Pauses stop doubling here, long before their count could overflow.
const std::int64_t kLongestPauseMillis = 24 * 3600 * 1000;

// How long to wait before a retry that follows a poor attempt: the first
// such pause, then twice the one before, until an attempt is productive.
struct RetryPauses {
    std::int64_t firstMillis = 0;  // 0: retries start at once
    std::int64_t nextMillis = -1;  // the coming pause; -1: the first
    std::int64_t lastGain = 0;     // what the last attempt added to the file
};

// Retries until an attempt completes, the poor-retry counter reaches 3, or
// the output file fails, pausing before retries after poor attempts. The
// last attempt's outcome is left in result; pauses.lastGain must hold what
// the first attempt added to the file.
void retryTransfer(TransferRequest& request, TransferResult& result, RetryPauses& pauses);
