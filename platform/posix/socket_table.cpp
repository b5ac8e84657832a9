// The POSIX socket handle table (platform/posix/socket_table.h), the library loading and
// start-up calls that only count in it, and the per-thread last error.
#include <cstdint>

#include "platform/error_codes.h"
#include "platform/posix/socket_table.h"
#include "platform/sockets.h"

namespace platform::net {
namespace impl {

Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

SOCKET LowestFreeId(const Table& table) {
    VBX_EXPECT_LOCK_HELD(table.mutex, "the table lock");
    SOCKET id = kFirstSocketId;
    // The map is ordered: the first id that is not the next expected one is a gap.
    for (const auto& [taken, entry] : table.sockets) {
        if (taken != id) break;
        id += kSocketIdStep;
    }
    return id;
}

Entry* FindEntry(Table& table, SOCKET s) {
    VBX_EXPECT_LOCK_HELD(table.mutex, "the table lock");
    auto it = table.sockets.find(s);
    return it == table.sockets.end() ? nullptr : &it->second;
}

bool FindFd(SOCKET s, int& fd) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    const Entry* e = FindEntry(table, s);
    if (e == nullptr) {
        WSASetLastError(kWsaENotSock);
        return false;
    }
    fd = e->fd;
    return true;
}

}  // namespace impl

namespace {

using namespace impl;

thread_local int t_lastError = 0;

std::u16string LowerCase(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
    return text;
}

}  // namespace

// ---- library loading (nothing to load on POSIX) ----------------------------------------------

std::uint32_t LoadSocketLibrary(const std::u16string& dllName) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.loaded.insert(LowerCase(dllName));
    return 0;
}

bool IsSocketLibraryLoaded(const std::u16string& dllName) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    return table.loaded.count(LowerCase(dllName)) != 0;
}

std::uint32_t FindEntryPoint(const std::u16string& dllName, const char* procName) {
    // Every entry point exists once the library counts as loaded; 126 (module not found)
    // otherwise, as GetProcAddress on a module that is not there.
    (void)procName;
    return IsSocketLibraryLoaded(dllName) ? 0 : kErrorModNotFound;
}

void UnloadSocketLibrary(const std::u16string& dllName) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.loaded.erase(LowerCase(dllName));
}

int WSAStartup(std::uint16_t version) {
    // Version 1.0 and later are served (low byte the major version).
    if ((version & 0xFF) == 0) return kWsaVerNotSupported;
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    ++table.startups;
    return 0;
}

int WSACleanup() {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    if (table.startups == 0) return Fail(kWsaNotInitialised);
    --table.startups;
    return 0;
}

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int code) { t_lastError = code; }

}  // namespace platform::net
