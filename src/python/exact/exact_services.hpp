// The interpreter's part in an exact build: the host's own meta-path finders
// and archive path entries, codecs, identifier normalisation and signals,
// behind the core's HostServices.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exact/source_scans.hpp"
#include "python/common/py_ref.hpp"

namespace tarnwick::py {

// The interpreter lock given up for native work: the calling thread's
// state is kept in `state` until the lock is taken back, also when an
// exception passes.
class ReleasedGil {
 public:
  ReleasedGil() : state(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  PyThreadState* state;
};

class PythonServices final : public HostServices {
 public:
  // `finders` are the meta-path finders the core does not model, by index.
  // With `released`, the build runs without the interpreter lock, and each
  // call takes it for as long as it runs.
  explicit PythonServices(const std::vector<PyRef>& finders, ReleasedGil* released = nullptr)
      : finders_(finders), released_(released) {}

  std::optional<ModuleSpec> find(int index, std::string_view fullname,
                                 const std::vector<std::string>* parent_path) override;
  std::optional<ModuleSpec> find_in_entry(const std::string& entry,
                                          std::string_view fullname) override;
  std::optional<std::string> decode(std::string_view bytes, const std::string& encoding,
                                    std::string& error) override;
  std::string normalize_name(std::string_view name) override;
  void check_interrupts() override;

 private:
  std::optional<ModuleSpec> spec_from(PyObject* finder, std::string_view fullname, PyObject* path);

  const std::vector<PyRef>& finders_;
  ReleasedGil* released_;
};

// A str holding `text` (UTF-8); throws ErrorAlreadySet.
PyRef str_of(std::string_view text);

// The UTF-8 text of a str, borrowed from it; throws ErrorAlreadySet.
std::string_view text_of(PyObject* str);

// A file-system path (bytes) as the interpreter hands one out: decoded with
// the file-system encoding, undecodable bytes as lone surrogates
// (os.fsdecode); throws ErrorAlreadySet.
PyRef path_str(std::string_view path);

// The bytes of a str path as the interpreter passes them to the system
// (os.fsencode): path_str's inverse; throws ErrorAlreadySet.
std::string path_bytes(PyObject* str);

}  // namespace tarnwick::py
