// An address block of a no_proxy entry, "address/bits": the hosts given as
// a literal address inside it are reached without a proxy. Names are never
// looked up to match one.
#pragma once

#include "platform/platform.h"

struct AddressBlock {
    NetAddress address;  // the block's first bits are what counts
    int bits = 0;
};

// What readAddressBlock found.
enum AddressBlockReading { notAddressBlock, addressBlockRead, addressBlockMalformed };

// Reads the count bytes of an entry, blanks around it left out, as
// "address/bits" (an IPv6 address bare or in brackets, where the platform
// has IPv6). Returns notAddressBlock when it holds no "/",
// addressBlockRead with block set, or addressBlockMalformed.
int readAddressBlock(const char* entry, int count, AddressBlock& block);

// Returns 1 when the host of hostLength bytes (an IPv6 address without its
// brackets) is a literal address inside the block, 0 otherwise.
int addressInBlock(const AddressBlock& block, const char* host, int hostLength);
