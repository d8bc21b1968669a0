#include "app/address_block.h"

#include <cstring>

namespace {

// Longer text is no address of either family.
const int kLongestAddressText = 64;

// Reads count bytes (an IPv6 address bare or in brackets) as a literal
// address. Returns 1 with address set, 0 for anything else.
int readLiteralAddress(const char* text, int count, NetAddress& address) {
    if (count >= 2 && text[0] == '[' && text[count - 1] == ']') {
        ++text;
        count -= 2;
    }
    if (count <= 0 || count > kLongestAddressText) return 0;
    // The platform reads an IPv6 address in brackets.
    char literal[kLongestAddressText + 3];
    int isIpv6 = std::memchr(text, ':', static_cast<size_t>(count)) != nullptr;
    int length = 0;
    if (isIpv6) literal[length++] = '[';
    std::memcpy(literal + length, text, static_cast<size_t>(count));
    length += count;
    if (isIpv6) literal[length++] = ']';
    literal[length] = '\0';
    AddressList list;
    if (!parseNumericAddress(literal, 0, list)) return 0;
    address = list.entries[0];
    return 1;
}

// Reads the bits of a block, 0 to the address's own width. Returns 1 with
// bits set, 0 for anything else.
int readBits(const char* text, int count, int width, int& bits) {
    if (count < 1 || count > 3) return 0;
    int value = 0;
    for (int index = 0; index < count; ++index) {
        if (text[index] < '0' || text[index] > '9') return 0;
        value = value * 10 + (text[index] - '0');
    }
    if (value > width) return 0;
    bits = value;
    return 1;
}

int widthOf(const NetAddress& address) { return address.family == kAddressFamilyInet6 ? 128 : 32; }

}  // namespace

int readAddressBlock(const char* entry, int count, AddressBlock& block) {
    while (count > 0 && (*entry == ' ' || *entry == '\t')) ++entry, --count;
    while (count > 0 && (entry[count - 1] == ' ' || entry[count - 1] == '\t')) --count;
    const char* slash = static_cast<const char*>(std::memchr(entry, '/', static_cast<size_t>(count)));
    if (slash == nullptr) return notAddressBlock;
    int addressLength = static_cast<int>(slash - entry);
    if (!readLiteralAddress(entry, addressLength, block.address) ||
        !readBits(slash + 1, count - addressLength - 1, widthOf(block.address), block.bits)) {
        return addressBlockMalformed;
    }
    return addressBlockRead;
}

int addressInBlock(const AddressBlock& block, const char* host, int hostLength) {
    NetAddress address;
    if (!readLiteralAddress(host, hostLength, address) || address.family != block.address.family) return 0;
    int whole = block.bits / 8;
    if (std::memcmp(address.bytes, block.address.bytes, static_cast<size_t>(whole)) != 0) return 0;
    int rest = block.bits % 8;
    if (rest == 0) return 1;
    unsigned mask = 0xffu << (8 - rest) & 0xffu;
    return (address.bytes[whole] & mask) == (block.address.bytes[whole] & mask);
}
