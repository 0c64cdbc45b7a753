#include "python/common/logging_bridge.hpp"

#include <cstring>

#include "common/error.hpp"

namespace tarnwick::py {
namespace {

// Calls `f` on each "::"-separated segment of `target`.
template <class F>
void for_each_segment(std::string_view target, F&& f) {
  while (true) {
    auto sep = target.find("::");
    f(target.substr(0, sep));
    if (sep == std::string_view::npos) return;
    target.remove_prefix(sep + 2);
  }
}

std::string python_logger_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  bool first = true;
  for_each_segment(target, [&](std::string_view segment) {
    if (!first) name += '.';
    name += segment;
    first = false;
  });
  return name;
}

// Copies the path to `target`, sharing every subtree it does not replace.
std::shared_ptr<const CacheNode> with_entry(const CacheNode* node, std::string_view target,
                                            CacheEntry& entry) {
  auto copy = node ? std::make_shared<CacheNode>(*node) : std::make_shared<CacheNode>();
  auto sep = target.find("::");
  std::string_view head = target.substr(0, sep);
  const CacheNode* child = nullptr;
  if (auto it = copy->children.find(head); it != copy->children.end()) child = it->second.get();
  std::shared_ptr<const CacheNode> replaced;
  if (sep == std::string_view::npos) {
    auto leaf = child ? std::make_shared<CacheNode>(*child) : std::make_shared<CacheNode>();
    leaf->entry = std::move(entry);
    replaced = std::move(leaf);
  } else {
    replaced = with_entry(child, target.substr(sep + 2), entry);
  }
  copy->children.insert_or_assign(std::string(head), std::move(replaced));
  return copy;
}

InternedName kIsEnabledFor("isEnabledFor");
InternedName kGetLogger("getLogger");
InternedName kMakeRecord("makeRecord");
InternedName kHandle("handle");

bool is_enabled_for(PyObject* logger, int level) {
  PyRef py_level = check(PyLong_FromLong(level));
  PyRef result = check(PyObject_CallMethodOneArg(logger, kIsEnabledFor.get(), py_level.get()));
  int truth = PyObject_IsTrue(result.get());
  check_status(truth);
  return truth != 0;
}

}  // namespace

bool CacheRoot::replace(const CacheNode* expected, std::shared_ptr<const CacheNode> tree) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!root_.compare_exchange_strong(expected, tree.get(), std::memory_order_acq_rel)) return false;
  published_.push_back(std::move(tree));
  return true;
}

void CacheRoot::publish(std::shared_ptr<const CacheNode> tree) {
  std::lock_guard<std::mutex> lock(mutex_);
  root_.store(tree.get(), std::memory_order_release);
  published_.push_back(std::move(tree));
}

Logger::Logger(PyRef logging)
    : logging_(std::move(logging)), cache_root_(std::make_shared<CacheRoot>()) {}

std::unique_ptr<Logger> Logger::create() {
  PyRef logging = check(PyImport_ImportModule("logging"));
  return std::unique_ptr<Logger>(new Logger(std::move(logging)));
}

ResetHandle Logger::install(std::unique_ptr<Logger> logger, log::Facade& facade) {
  ResetHandle handle(logger->cache_root_);
  const log::LevelFilter filter = logger->base_filter_;
  facade.set_boxed_logger(std::move(logger));
  facade.set_max_level(filter);
  return handle;
}

const CacheNode* Logger::find(const CacheNode& root, std::string_view target) {
  const CacheNode* node = &root;
  for_each_segment(target, [&](std::string_view segment) {
    if (node == nullptr) return;
    auto it = node->children.find(segment);
    node = it == node->children.end() ? nullptr : it->second.get();
  });
  return node;
}

void Logger::store(std::string_view target, CacheEntry entry) {
  const CacheNode* current = cache_root_->load();
  // Lost to a concurrent update: the entry is computed again on a later record.
  cache_root_->replace(current, with_entry(current, target, entry));
}

const CacheNode* Logger::lookup(std::string_view target) const noexcept {
  // Records come in runs from a few targets: the last nodes found are
  // remembered per thread, together with the tree they were found in.
  struct Memo {
    const Logger* owner = nullptr;
    const CacheNode* root = nullptr;
    std::size_t size = 0;
    char text[64];
    const CacheNode* node = nullptr;
  };
  thread_local Memo memo[4];
  thread_local unsigned next_slot = 0;
  const CacheNode* root = cache_root_->load();
  for (const Memo& m : memo) {
    if (m.owner == this && m.root == root && m.size == target.size() &&
        std::memcmp(m.text, target.data(), m.size) == 0) {
      return m.node;
    }
  }
  const CacheNode* node = find(*root, target);
  if (target.size() <= sizeof(Memo::text)) {
    Memo& m = memo[next_slot++ % 4];
    m.owner = this;
    m.root = root;
    m.size = target.size();
    std::memcpy(m.text, target.data(), target.size());
    m.node = node;
  }
  return node;
}

bool Logger::drops(log::Level level, std::string_view target) const noexcept {
  if (!log::passes(level, base_filter_)) return true;
  const CacheNode* node = lookup(target);
  return node != nullptr && node->entry && !log::passes(level, node->entry->filter);
}

void Logger::log(const log::Record& record) noexcept {
  const CacheNode* node = lookup(record.target);
  const log::LevelFilter cached =
      node != nullptr && node->entry ? node->entry->filter : log::LevelFilter::Trace;
  if (!log::passes(record.level, cached) || !log::passes(record.level, base_filter_)) return;

  PyGILState_STATE gil = PyGILState_Ensure();
  // Keep whatever error the emitting code may have pending.
  TakenError saved = TakenError::take();
  try {
    deliver(record, node);
  } catch (const ErrorAlreadySet&) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
      // Not swallowed: the interrupt is re-armed so the running operation
      // sees it at its next signal check.
      PyErr_Clear();
      PyErr_SetInterrupt();
    } else {
      TakenError::take().display();
    }
  } catch (...) {
    PyErr_Clear();  // out of memory while formatting: the record is dropped
  }
  saved.restore();
  PyGILState_Release(gil);
}

void Logger::deliver(const log::Record& record, const CacheNode* node) {
  const bool from_cache = node != nullptr && node->entry.has_value();
  const int level = log::python_level(record.level);
  const std::string name = python_logger_name(record.target);
  PyRef py_name =
      check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));

  PyRef logger =
      from_cache
          ? node->entry->logger
          : check(PyObject_CallMethodOneArg(logging_.get(), kGetLogger.get(), py_name.get()));

  if (is_enabled_for(logger.get(), level)) {
    const std::string message = record.message();
    PyRef py_file = record.file
                        ? check(PyUnicode_FromStringAndSize(
                              record.file->data(), static_cast<Py_ssize_t>(record.file->size())))
                        : PyRef::borrow(Py_None);
    PyRef py_line = check(PyLong_FromUnsignedLong(record.line.value_or(0)));
    PyRef py_message = check(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyRef py_level = check(PyLong_FromLong(level));
    PyRef args = check(PyTuple_New(0));
    PyRef py_record = check(PyObject_CallMethodObjArgs(
        logger.get(), kMakeRecord.get(), py_name.get(), py_level.get(), py_file.get(),
        py_line.get(), py_message.get(), args.get(), Py_None, nullptr));
    check(PyObject_CallMethodOneArg(logger.get(), kHandle.get(), py_record.get()));
  }

  if (!from_cache) {
    static constexpr std::pair<int, log::LevelFilter> kProbe[] = {{5, log::LevelFilter::Trace},
                                                                  {10, log::LevelFilter::Debug},
                                                                  {20, log::LevelFilter::Info},
                                                                  {30, log::LevelFilter::Warn},
                                                                  {40, log::LevelFilter::Error}};
    log::LevelFilter filter = log::LevelFilter::Off;
    for (auto [probe_level, probe_filter] : kProbe) {
      if (is_enabled_for(logger.get(), probe_level)) {
        filter = probe_filter;
        break;
      }
    }
    store(record.target, CacheEntry{filter, std::move(logger)});
  }
}

void init_logging() {
  PyGILState_STATE gil = PyGILState_Ensure();
  struct Release {
    PyGILState_STATE state;
    ~Release() { PyGILState_Release(state); }
  } release{gil};
  std::unique_ptr<Logger> logger;
  try {
    logger = Logger::create();
  } catch (const ErrorAlreadySet&) {
    TakenError failure = TakenError::take();
    failure.normalize();
    std::string description = "unknown error";
    if (PyRef repr = PyRef::steal(failure.shown() ? PyObject_Repr(failure.shown()) : nullptr)) {
      if (const char* text = PyUnicode_AsUTF8(repr.get())) description = text;
    }
    PyErr_Clear();
    throw InternalError(str_cat("Failed to initialize python logging: ", description));
  }
  // The reset handle is not kept: the cache lives, and grows, for the process.
  (void)Logger::install(std::move(logger), log::facade());
}

}  // namespace tarnwick::py
