// Modbus/TCP access control: the networks masters may connect from, the
// address the server binds to, and the masters refused, by address, until
// the application takes them. Parsing, matching and a small table; no sockets.
#include "tcp/server.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <string>

namespace pellacor::tcp {
namespace {

// A whole decimal number within [0, high]; no sign, no blanks.
bool ParsePrefix(const std::string& text, int high, int& value) {
    if (text.empty() || text.size() > 3) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > high) return false;
    value = v;
    return true;
}

} // namespace

bool ParseNetwork(const char* text, Network& out) {
    if (text == nullptr) return false;
    const std::string whole(text);
    const size_t slash = whole.find('/');
    const std::string address = whole.substr(0, slash);
    Network n;
    if (::inet_pton(AF_INET, address.c_str(), n.address) == 1) {
        n.family = AF_INET;
    } else if (::inet_pton(AF_INET6, address.c_str(), n.address) == 1) {
        n.family = AF_INET6;
    } else {
        return false;
    }
    const int bits = n.family == AF_INET ? 32 : 128;
    n.prefix = bits;
    if (slash != std::string::npos && !ParsePrefix(whole.substr(slash + 1), bits, n.prefix)) return false;
    // Host bits set below the prefix ("10.1.2.3/8") are a typing error more
    // often than not: refused rather than silently widened.
    for (int bit = n.prefix; bit < bits; ++bit)
        if ((n.address[bit / 8] >> (7 - bit % 8)) & 1) return false;
    // "::ffff:10.0.0.0/104" names IPv4 masters in their IPv6 spelling: kept
    // as "10.0.0.0/8", the form masters are compared in. (Host bits rule out
    // a mapped address with a prefix below 96.)
    if (n.family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(n.address))) {
        std::memmove(n.address, n.address + 12, 4);
        std::memset(n.address + 4, 0, 12);
        n.family = AF_INET;
        n.prefix -= 96;
    }
    out = n;
    return true;
}

bool InNetwork(const sockaddr_storage& peer, const Network& n) {
    // An IPv4 master, whether on an IPv4 socket or seen as ::ffff:a.b.c.d on a
    // dual-stack one, is compared as IPv4 against IPv4 networks and in its
    // mapped form against IPv6 ones (so "::/0" admits it as well).
    uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    const uint8_t* v4 = nullptr;
    const uint8_t* address = nullptr;
    if (peer.ss_family == AF_INET) {
        v4 = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
    } else if (peer.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6))
            v4 = a6.s6_addr + 12;
        else if (n.family == AF_INET6)
            address = a6.s6_addr;
    }
    if (v4 != nullptr && n.family == AF_INET) {
        address = v4;
    } else if (v4 != nullptr && n.family == AF_INET6) {
        std::memcpy(mapped + 12, v4, 4);
        address = mapped;
    }
    if (address == nullptr) return false;
    const int whole = n.prefix / 8, rest = n.prefix % 8;
    if (std::memcmp(address, n.address, static_cast<size_t>(whole)) != 0) return false;
    if (rest == 0) return true;
    const auto mask = static_cast<uint8_t>(0xFF00u >> rest);
    return (address[whole] & mask) == (n.address[whole] & mask);
}

bool ParseBindAddress(const char* text, sockaddr_storage& out) {
    sockaddr_storage a{};
    if (text == nullptr || *text == '\0') {
        auto& a4 = reinterpret_cast<sockaddr_in&>(a);
        a4.sin_family = AF_INET;
        a4.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (auto& a4 = reinterpret_cast<sockaddr_in&>(a); ::inet_pton(AF_INET, text, &a4.sin_addr) == 1) {
        a4.sin_family = AF_INET;
    } else if (auto& a6 = reinterpret_cast<sockaddr_in6&>(a); ::inet_pton(AF_INET6, text, &a6.sin6_addr) == 1) {
        a6.sin6_family = AF_INET6;
    } else {
        return false;
    }
    out = a;
    return true;
}

namespace {

// Refused masters not yet taken, first refused first; one more slot for the
// addresses that found the table full (empty address), kept last.
struct RefusedTable {
    std::mutex mutex;
    PellacorRefusedMaster entries[PELLACOR_REFUSED_MASTERS_KEPT + 1] = {};
    int size = 0;
};
RefusedTable& gRefusedTable = *new RefusedTable; // never destroyed: see Registry

// The peer's address as text; an IPv4-mapped IPv6 address in its IPv4 form.
constexpr size_t kAddressText = sizeof(PellacorRefusedMaster::address);

void AddressText(const sockaddr_storage& peer, char (&out)[kAddressText]) {
    out[0] = '\0';
    if (peer.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, out, sizeof out);
    } else if (peer.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6))
            ::inet_ntop(AF_INET, a6.s6_addr + 12, out, sizeof out);
        else
            ::inet_ntop(AF_INET6, &a6, out, sizeof out);
    }
}

} // namespace

void NoteRefused(const sockaddr_storage& peer) {
    char address[kAddressText];
    AddressText(peer, address);
    RefusedTable& t = gRefusedTable;
    std::lock_guard<std::mutex> lock(t.mutex);
    const bool hasRest = t.size > 0 && t.entries[t.size - 1].address[0] == '\0';
    const int named = hasRest ? t.size - 1 : t.size;
    for (int i = 0; i < named; ++i) {
        if (address[0] != '\0' && std::strcmp(t.entries[i].address, address) == 0) {
            if (t.entries[i].count != UINT32_MAX) ++t.entries[i].count;
            return;
        }
    }
    if (address[0] != '\0' && named < PELLACOR_REFUSED_MASTERS_KEPT) {
        if (hasRest) t.entries[named + 1] = t.entries[named]; // the rest stays last
        PellacorRefusedMaster& e = t.entries[named];
        std::memcpy(e.address, address, sizeof address);
        e.count = 1;
        ++t.size;
        return;
    }
    if (!hasRest) t.entries[t.size++] = PellacorRefusedMaster{};
    PellacorRefusedMaster& rest = t.entries[t.size - 1];
    if (rest.count != UINT32_MAX) ++rest.count;
}

} // namespace pellacor::tcp

extern "C" PELLACOR_API int32_t TakeTCPRefusedMasters(PellacorRefusedMaster* masters, int32_t capacity) {
    using pellacor::tcp::gRefusedTable;
    if (masters == nullptr || capacity <= 0) return 0;
    std::lock_guard<std::mutex> lock(gRefusedTable.mutex);
    const int taken = std::min(gRefusedTable.size, static_cast<int>(capacity));
    std::copy_n(gRefusedTable.entries, taken, masters);
    std::copy(gRefusedTable.entries + taken, gRefusedTable.entries + gRefusedTable.size, gRefusedTable.entries);
    gRefusedTable.size -= taken;
    return taken;
}
