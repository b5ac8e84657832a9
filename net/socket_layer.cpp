#include "net/socket_layer.h"

#include <mutex>
#include <set>
#include <string>

#include "net/exceptions.h"
#include "platform/sockets.h"
#include "platform/system.h"
#include "text/strings.h"

namespace net::socket_layer {
namespace {

namespace ps = platform::net;

const std::u16string kSocketLibrary = u"wsock32.dll";
const std::u16string kSecondLibrary = u"ws2_32.dll";

struct LayerState {
    std::recursive_mutex mutex;
    int liveCount = 0;
    bool loaded = false;
    bool started = false;
    bool secondLoaded = false;
    std::uint8_t reqVerLow = 1;
    std::uint8_t reqVerHigh = 1;
    std::set<std::string> entryPoints;
};

LayerState& State() {
    static LayerState* state = new LayerState;  // used by sockets with static lifetime too
    return *state;
}

std::u16string ErrorWithCode(std::uint32_t code) {
    return platform::SystemErrorText(code) + u" (#" + txt::IntToStr(code) + u")";
}

// Under the lock.
void LoadAndStart(LayerState& s) {
    if (s.loaded) return;
    if (std::uint32_t error = ps::LoadSocketLibrary(kSocketLibrary); error != 0)
        throw ESocketException(u"Unable to load " + kSocketLibrary + u" - " + ErrorWithCode(error));
    s.loaded = true;
    std::uint16_t version = std::uint16_t(s.reqVerLow | (std::uint16_t(s.reqVerHigh) << 8));
    if (int result = ps::WSAStartup(version); result != 0) {
        ps::UnloadSocketLibrary(kSocketLibrary);
        s.loaded = false;
        throw ESocketException(u"Winsock startup error " + kSocketLibrary + u" - " +
                               ErrorWithCode(std::uint32_t(result)));
    }
    s.started = true;
}

// Under the lock.
void Shutdown(LayerState& s) {
    if (!s.loaded) return;
    if (s.started) ps::WSACleanup();
    s.started = false;
    if (s.secondLoaded) ps::UnloadSocketLibrary(kSecondLibrary);
    s.secondLoaded = false;
    ps::UnloadSocketLibrary(kSocketLibrary);
    s.loaded = false;
    s.entryPoints.clear();
}

}  // namespace

void RequireEntryPoint(const char* name) {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    LoadAndStart(s);
    if (s.entryPoints.count(name) != 0) return;
    if (std::uint32_t error = ps::FindEntryPoint(kSocketLibrary, name); error != 0)
        throw ESocketException(u"Procedure " + txt::FromUtf8(name) + u" not found in " + kSocketLibrary + u" - " +
                               ErrorWithCode(error));
    s.entryPoints.insert(name);
}

void AddLiveSocket() {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    ++s.liveCount;
}

void RemoveLiveSocket() {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    if (s.liveCount > 0) --s.liveCount;
    if (s.liveCount == 0) Shutdown(s);
}

int LiveSocketCount() {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    return s.liveCount;
}

bool IsLoaded() {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    return s.loaded;
}

std::uint8_t ReqVerLow() {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    return s.reqVerLow;
}

std::uint8_t ReqVerHigh() {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    return s.reqVerHigh;
}

bool SetReqVerLow(std::uint8_t value) {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    if (value == s.reqVerLow) return true;
    if (s.loaded) return false;
    s.reqVerLow = value;
    return true;
}

bool SetReqVerHigh(std::uint8_t value) {
    LayerState& s = State();
    std::lock_guard guard(s.mutex);
    if (value == s.reqVerHigh) return true;
    if (s.loaded) return false;
    s.reqVerHigh = value;
    return true;
}

}  // namespace net::socket_layer
