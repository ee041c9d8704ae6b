#pragma once
// The receiver of text read from a child's pipe (the installer session writes it to the installer log).
#include <cstddef>
#include <string>

class IPipeMessageHandler {
public:
    virtual ~IPipeMessageHandler();
    // Consumes the complete lines of `chunk` from `position` on (advancing it); with `final`, the rest too.
    virtual void output(const std::string& chunk, size_t& position, bool final) = 0;
};
