// The log facade: levels and filters, lazy formatting, install-once, and
// records dropped while no sink is installed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/log.hpp"

namespace tarnwick::log {
namespace {

struct Seen {
  Level level;
  std::string target;
  std::string message;
  std::optional<std::uint32_t> line;
};

class VectorSink final : public Sink {
 public:
  explicit VectorSink(std::vector<Seen>& out) : out_(out) {}
  void log(const Record& r) noexcept override {
    out_.push_back({r.level, std::string(r.target), r.message(), r.line});
  }

 private:
  std::vector<Seen>& out_;
};

// Emits through `facade` the way the logging macro does, counting how often
// the message is formatted.
void emit(Facade& facade, Level level, std::string_view message, int& formatted) {
  if (!facade.enabled(level)) return;
  auto format = [&] {
    ++formatted;
    return std::string(message);
  };
  facade.log(Record{level, "t::u", "t::u", "file.cpp", 7u, MessageFn(format)});
}

// Levels pass a filter at or above them; a record is formatted only when a
// sink takes it; the first sink installed stays.
TEST(LogFacade, FiltersInstallsOnceAndFormatsOnlyWhatPasses) {
  EXPECT_TRUE(passes(Level::Error, LevelFilter::Error) && passes(Level::Trace, LevelFilter::Trace));
  EXPECT_FALSE(passes(Level::Error, LevelFilter::Off) || passes(Level::Warn, LevelFilter::Error) ||
               passes(Level::Trace, LevelFilter::Debug));
  int formatted = 0;
  Facade unheard;
  unheard.set_max_level(LevelFilter::Trace);
  emit(unheard, Level::Error, "dropped: no sink", formatted);
  EXPECT_EQ(formatted, 0);

  Facade facade;
  std::vector<Seen> seen, second;
  facade.set_boxed_logger(std::make_unique<VectorSink>(seen));
  EXPECT_THROW(facade.set_boxed_logger(std::make_unique<VectorSink>(second)), SetLoggerError);
  emit(facade, Level::Error, "dropped: filter off", formatted);
  facade.set_max_level(LevelFilter::Info);
  emit(facade, Level::Debug, "dropped: below filter", formatted);
  emit(facade, Level::Info, "kept", formatted);
  emit(facade, Level::Trace, "dropped: trace", formatted);
  facade.set_max_level(LevelFilter::Warn);
  emit(facade, Level::Info, "dropped: below warn", formatted);
  emit(facade, Level::Error, "also kept", formatted);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].message, "kept");
  EXPECT_EQ(seen[0].target, "t::u");
  EXPECT_EQ(seen[0].line, 7u);
  EXPECT_EQ(seen[1].level, Level::Error);
  EXPECT_EQ(formatted, 2);
  EXPECT_TRUE(second.empty());
}

TEST(LogMacro, BuildsMessageFromPiecesOnlyWhenEnabled) {
  // The process-wide facade: filter Off until something opens it.
  Facade& global = facade();
  const LevelFilter saved = global.max_level();
  int conversions = 0;
  struct Counted {
    int* count;
    operator std::string_view() const {
      ++*count;
      return "piece";
    }
  };
  global.set_max_level(LevelFilter::Off);
  TW_LOG_DEBUG(kTypesTarget, "value ", Counted{&conversions}, ' ', 42);
  EXPECT_EQ(conversions, 0);
  global.set_max_level(saved);
  EXPECT_EQ(str_cat("a", std::string("b"), 'c', -12, 34u, std::string_view("d")), "abc-1234d");
}

}  // namespace
}  // namespace tarnwick::log
