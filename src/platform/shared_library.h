#pragma once

#include <string>

namespace vellomar {

// A shared object loaded into the process with dlopen: the window face's plug-in, or a library
// that only a feature few runs use needs, loaded when that feature is first used rather than
// mapped into every process at start. Every symbol is bound at load (RTLD_NOW), so that a
// missing one fails here rather than at a call, and the object's names stay its own
// (RTLD_LOCAL). Move-only; unloaded when its owner goes, unless Keep() was called.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  SharedLibrary(SharedLibrary&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  SharedLibrary& operator=(SharedLibrary&& other) noexcept;
  ~SharedLibrary();

  // Loads `name`: a path, or a file name looked up as the dynamic linker looks up a program's
  // libraries. On failure the result is empty and `error` holds the dynamic linker's words.
  static SharedLibrary Open(const std::string& name, std::string& error);

  explicit operator bool() const { return handle_ != nullptr; }
  // The address of a symbol; null when the object has none of that name.
  void* Symbol(const char* name) const;
  // The object stays loaded for the rest of the process: its code may still run.
  void Keep() { handle_ = nullptr; }

 private:
  void* handle_ = nullptr;
};

// Points `function` at the library's symbol `name`, typed as the caller declared it (from the
// library's own header, so that the types are the library's); false when it has none.
template <typename Function>
bool Bind(const SharedLibrary& library, const char* name, Function*& function) {
  function = reinterpret_cast<Function*>(library.Symbol(name));
  return function != nullptr;
}

}  // namespace vellomar
