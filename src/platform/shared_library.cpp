#include "platform/shared_library.h"

#include <dlfcn.h>

namespace vellomar {

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) (void)::dlclose(handle_);  // a failed unload leaves it mapped: nothing to undo
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) (void)::dlclose(handle_);  // as above
}

SharedLibrary SharedLibrary::Open(const std::string& name, std::string& error) {
  SharedLibrary library;
  library.handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle_ == nullptr) {
    const char* text = ::dlerror();
    error = text != nullptr ? text : "cannot be loaded";
  }
  return library;
}

void* SharedLibrary::Symbol(const char* name) const { return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr; }

}  // namespace vellomar
