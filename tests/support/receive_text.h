#pragma once
// Fakes of the collector's socket that hand over each read as a string: ReceiveText gives
// the bytes of one read, and the collector's one read (ReceiveTextInto) copies them into
// the room it is given, asking for exactly their number (no room for none).
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

#include "collector/collaborators.h"

namespace testsupport {

class StringReadSocket : public collector::ClientSocketOps {
public:
    virtual std::string ReceiveText() = 0;
    std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>& prepare) override {
        const std::string bytes = ReceiveText();
        if (bytes.empty()) return 0;
        std::memcpy(prepare(bytes.size()), bytes.data(), bytes.size());
        return bytes.size();
    }
};

}  // namespace testsupport
