// What the Linux twins of Objective-C code ask of Foundation and AppKit: the
// exception type that stands for NSException and the shared application
// object that stands for NSApp.
#pragma once

#include <exception>
#include <string>

namespace platform {

/// Raised by the layer where macOS raises an NSException; exported with its
/// type information so that a plug-in image catches what the layer throws.
class __attribute__((visibility("default"))) Exception : public std::exception {
  public:
    explicit Exception(std::string description);
    ~Exception() override;
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;

    const char* what() const noexcept override;
    /// What NSException's description gives: the reason text.
    const std::string& description() const noexcept { return description_; }

  private:
    std::string description_;
};

}  // namespace platform

extern "C" {
/// Stands for NSApp: the process's shared application object, or null when it has none.
const void* PLSharedApplication(void);
}
