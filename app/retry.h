// What happens after a failed first attempt: retries that resume the file
// with a byte range or start it over, until one completes or they give up.
#pragma once

#include "http/transfer.h"

// Retries until an attempt completes, the poor-retry counter reaches 3, or
// the output file fails. The last attempt's outcome is left in result.
void retryTransfer(TransferRequest& request, TransferResult& result);
