#include "platform/debug_output.h"

#include <mutex>

namespace korvane {

namespace {
std::mutex captureMutex;
DebugCapture* innermostCapture = nullptr;
}  // namespace

void DebugOutput(const char* text) {
    {
        std::lock_guard<std::mutex> lock(captureMutex);
        if (innermostCapture != nullptr) {
            innermostCapture->Append(text);
        }
    }
    detail::WritePlatformDebugOutput(text);
}

DebugCapture::DebugCapture() {
    std::lock_guard<std::mutex> lock(captureMutex);
    outer = innermostCapture;
    innermostCapture = this;
}

DebugCapture::~DebugCapture() {
    std::lock_guard<std::mutex> lock(captureMutex);
    // Captures are scoped, so the one ending is the innermost.
    innermostCapture = outer;
}

std::string DebugCapture::Text() const {
    std::lock_guard<std::mutex> lock(captureMutex);
    return text;
}

void DebugCapture::Clear() {
    std::lock_guard<std::mutex> lock(captureMutex);
    text.clear();
}

void DebugCapture::Append(const char* more) {
    text += more;
}

}  // namespace korvane
