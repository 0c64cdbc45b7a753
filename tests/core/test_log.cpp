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

TEST(LogLevels, PassesFilterTable) {
  struct Case {
    Level level;
    LevelFilter filter;
    bool passes;
  };
  const Case cases[] = {
      {Level::Error, LevelFilter::Off, false},   {Level::Error, LevelFilter::Error, true},
      {Level::Warn, LevelFilter::Error, false},  {Level::Warn, LevelFilter::Warn, true},
      {Level::Debug, LevelFilter::Info, false},  {Level::Debug, LevelFilter::Debug, true},
      {Level::Trace, LevelFilter::Debug, false}, {Level::Trace, LevelFilter::Trace, true},
      {Level::Info, LevelFilter::Trace, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(passes(c.level, c.filter), c.passes)
        << static_cast<int>(c.level) << " vs " << static_cast<int>(c.filter);
  }
}

TEST(LogFacade, FilterIsOffUntilSetAndFormatsOnlyWhatPasses) {
  Facade facade;
  std::vector<Seen> seen;
  facade.set_boxed_logger(std::make_unique<VectorSink>(seen));
  int formatted = 0;
  emit(facade, Level::Error, "dropped: filter off", formatted);
  facade.set_max_level(LevelFilter::Info);
  emit(facade, Level::Debug, "dropped: below filter", formatted);
  emit(facade, Level::Info, "kept", formatted);
  emit(facade, Level::Trace, "dropped: trace", formatted);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, "kept");
  EXPECT_EQ(seen[0].target, "t::u");
  EXPECT_EQ(seen[0].line, 7u);
  EXPECT_EQ(formatted, 1);
}

TEST(LogFacade, DropsRecordsWhileNoSinkIsInstalled) {
  Facade facade;
  facade.set_max_level(LevelFilter::Trace);
  int formatted = 0;
  emit(facade, Level::Error, "nobody listens", formatted);
  EXPECT_EQ(formatted, 0);  // dropped before the message is built
}

TEST(LogFacade, InstallsOnlyOnce) {
  Facade facade;
  std::vector<Seen> first, second;
  facade.set_boxed_logger(std::make_unique<VectorSink>(first));
  EXPECT_THROW(facade.set_boxed_logger(std::make_unique<VectorSink>(second)), SetLoggerError);
  facade.set_max_level(LevelFilter::Debug);
  int formatted = 0;
  emit(facade, Level::Warn, "to the first sink", formatted);
  EXPECT_EQ(first.size(), 1u);
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
