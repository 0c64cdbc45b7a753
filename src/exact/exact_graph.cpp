#include "exact/exact_graph.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "common/components.hpp"
#include "common/error.hpp"
#include "common/platform_fs.hpp"

namespace tarnwick {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

struct PendingSite {
  std::uint32_t from;
  std::uint32_t to;
  Site site;
  auto key() const noexcept { return std::tuple(from, to, site.line, site.context); }
};

// Sorts one module's sites (all from the same module) by imported module,
// line and context. They sort as packed 64-bit keys when every line fits in
// 24 bits, as nearly always: several times faster than the structs.
void sort_sites(std::vector<PendingSite>& sites) {
  if (sites.size() < 2) return;
  constexpr std::uint32_t kLineLimit = 1u << 24;
  const bool packable = std::all_of(sites.begin(), sites.end(),
                                    [](const PendingSite& s) { return s.site.line < kLineLimit; });
  if (!packable) {
    std::sort(sites.begin(), sites.end(),
              [](const PendingSite& a, const PendingSite& b) { return a.key() < b.key(); });
    return;
  }
  thread_local std::vector<std::uint64_t> keys;
  keys.clear();
  for (const PendingSite& s : sites) {
    keys.push_back(std::uint64_t{s.to} << 32 | std::uint64_t{s.site.line} << 8 | s.site.context);
  }
  std::sort(keys.begin(), keys.end());
  const std::uint32_t from = sites.front().from;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const std::uint64_t key = keys[k];
    sites[k] = PendingSite{from, static_cast<std::uint32_t>(key >> 32),
                           Site{static_cast<std::uint32_t>(key >> 8) & (kLineLimit - 1),
                                static_cast<std::uint8_t>(key)}};
  }
}

// Whether `site` (implied) says nothing that a site of the same line in
// `line_sites` (the edge's sites of that line so far) does not: the
// statement also names the module.
bool implied_by_written(std::span<const Site> line_sites, const Site& site) noexcept {
  if ((site.context & context::kImplied) == 0) return false;
  const auto written = static_cast<std::uint8_t>(site.context & ~context::kImplied);
  return std::any_of(line_sites.begin(), line_sites.end(),
                     [&](const Site& s) { return s.context == written; });
}

// Appends one module's row: its sorted sites as edges (one per imported
// module) and their sites, without duplicates (an implied site is one when
// the same line names the module too).
void append_row(const std::vector<PendingSite>& sorted, std::vector<std::uint32_t>& out,
                std::vector<std::uint32_t>& site_begin, std::vector<Site>& sites) {
  std::size_t line_start = 0;  // the first site kept of this edge and line
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    if (k > 0 && sorted[k].key() == sorted[k - 1].key()) continue;
    if (k == 0 || sorted[k].to != sorted[k - 1].to) {
      out.push_back(sorted[k].to);
      site_begin.push_back(static_cast<std::uint32_t>(sites.size()));
      line_start = sites.size();
    } else if (sorted[k].site.line != sorted[k - 1].site.line) {
      line_start = sites.size();
    }
    const std::span<const Site> line_sites(sites.data() + line_start, sites.size() - line_start);
    if (implied_by_written(line_sites, sorted[k].site)) continue;
    sites.push_back(sorted[k].site);
  }
}

}  // namespace

struct ExactGraph::SpareRows {
  std::mutex mutex;
  std::vector<std::uint32_t> out_begin, out, site_begin;
  std::vector<Site> sites;
};

ExactGraph::~ExactGraph() {
  // The last graph of its line keeps nothing: nothing could reuse it.
  if (!spare_ || spare_.use_count() == 1) return;
  const std::lock_guard lock(spare_->mutex);
  if (spare_->sites.capacity() >= sites_.capacity()) return;
  spare_->out_begin.swap(out_begin_);
  spare_->out.swap(out_);
  spare_->site_begin.swap(site_begin_);
  spare_->sites.swap(sites_);
}

void ExactGraph::prepare_spare() const {
  // Below this many sites the page faults of fresh rows cost less than a thread.
  constexpr std::size_t kSitesWorthAThread = 1 << 16;
  if (!spare_ || sites_.size() < kSitesWorthAThread) return;
  const std::size_t edges = out_.size(), sites = sites_.size(), modules = out_begin_.size();
  {
    const std::lock_guard lock(spare_->mutex);
    if (spare_->sites.capacity() >= sites + 64) return;  // ready, or a dead graph's
  }
  try {
    std::thread([spare = spare_, edges, sites, modules] {
      // Each array made and touched here, then handed over if still wanted.
      const auto touched = [](auto& v, std::size_t n) {
        v.resize(n + n / 64 + 64);
        v.clear();
      };
      SpareRows made;
      try {
        touched(made.out_begin, modules);
        touched(made.out, edges);
        touched(made.site_begin, edges);
        touched(made.sites, sites);
      } catch (const std::bad_alloc&) {
        return;  // nothing prepared: the next patch allocates its own
      }
      const std::lock_guard lock(spare->mutex);
      if (spare->sites.capacity() >= made.sites.capacity()) return;
      spare->out_begin.swap(made.out_begin);
      spare->out.swap(made.out);
      spare->site_begin.swap(made.site_begin);
      spare->sites.swap(made.sites);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the next patch allocates its own.
  }
}

ExactGraph ExactGraph::assemble(const ModuleNames& names, const std::vector<ModuleRecord>& records,
                                const RootRecord& roots, const ExactGraph* like,
                                const std::vector<std::uint8_t>* changed) {
  // What the roots reach over the records' edges.
  std::vector<std::uint8_t> reached(records.size(), 0);
  std::vector<ModuleId> order;
  for (const ModuleId r : roots.roots) {
    if (reached[r] == 0) order.push_back(r);
    reached[r] = 1;
  }
  for (std::size_t k = 0; k < order.size(); ++k) {
    for (const OutEdge& e : records[order[k]].edges) {
      if (reached[e.to] == 0) {
        reached[e.to] = 1;
        order.push_back(e.to);
      }
    }
  }

  // The modules in name order: the table of `like` when it holds the same.
  ExactGraph g;
  g.spare_ = std::make_shared<SpareRows>();
  std::vector<std::uint32_t> index(records.size(), kNone);
  bool same = like != nullptr && like->ids_ && like->ids_->size() == order.size();
  if (same) {
    const std::vector<ModuleId>& ids = *like->ids_;
    for (std::uint32_t k = 0; k < ids.size() && same; ++k) {
      same = ids[k] < reached.size() && reached[ids[k]] != 0 &&
             records[ids[k]].kind == like->module(k).kind &&
             records[ids[k]].origin == like->module(k).origin;
      if (same) index[ids[k]] = k;
    }
  }
  if (same) {
    g.modules_ = like->modules_;
    g.ids_ = like->ids_;
  } else {
    order = names.in_name_order(order);
    auto modules = std::make_shared<std::vector<Module>>();
    modules->reserve(order.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) {
      index[order[k]] = k;
      const ModuleRecord& r = records[order[k]];
      modules->push_back(Module{std::string(names.name(order[k])), r.kind, r.origin});
    }
    g.modules_ = std::move(modules);
    g.ids_ = std::make_shared<const std::vector<ModuleId>>(std::move(order));
  }
  const std::vector<ModuleId>& ids = *g.ids_;
  const auto m = static_cast<std::uint32_t>(ids.size());

  // Each module's row: its edges in order of imported module and line,
  // without duplicates; a row of `like` serves for a module not changed.
  // Rows of modules [from, to) go into `rows`, offsets from 0.
  struct Rows {
    std::vector<std::uint32_t> out_begin, out, site_begin;
    std::vector<Site> sites;
  };
  const auto lay_out = [&](std::uint32_t from, std::uint32_t to, Rows& rows) {
    std::vector<PendingSite> pending;
    for (std::uint32_t i = from; i < to; ++i) {
      rows.out_begin.push_back(static_cast<std::uint32_t>(rows.out.size()));
      const ModuleId id = ids[i];
      if (same && changed != nullptr && (id >= changed->size() || (*changed)[id] == 0)) {
        for (std::uint32_t e = like->out_begin_[i]; e < like->out_begin_[i + 1]; ++e) {
          rows.out.push_back(like->out_[e]);
          rows.site_begin.push_back(static_cast<std::uint32_t>(rows.sites.size()));
          rows.sites.insert(rows.sites.end(), like->sites_.begin() + like->site_begin_[e],
                            like->sites_.begin() + like->site_begin_[e + 1]);
        }
        continue;
      }
      pending.clear();
      for (const OutEdge& e : records[id].edges) pending.push_back({i, index[e.to], e.site});
      sort_sites(pending);
      append_row(pending, rows.out, rows.site_begin, rows.sites);
    }
  };
  // A large graph's second half is laid out on a second thread.
  constexpr std::uint32_t kSplitFrom = 20000;
  Rows first, second;
  std::uint32_t half = m;
  if (m >= kSplitFrom && fs::usable_cpus() > 1) {
    try {
      half = m / 2;
      std::exception_ptr failed;
      std::thread other([&] {
        try {
          lay_out(half, m, second);
        } catch (...) {  // out of memory: passed on to the caller below
          failed = std::current_exception();
        }
      });
      try {
        lay_out(0, half, first);
      } catch (...) {
        other.join();
        throw;
      }
      other.join();
      if (failed) std::rethrow_exception(failed);
    } catch (const std::system_error&) {  // no thread to be had
      half = m;
      first = Rows{};
      second = Rows{};
    }
  }
  if (half == m) lay_out(0, m, first);
  g.out_begin_ = std::move(first.out_begin);
  g.out_ = std::move(first.out);
  g.site_begin_ = std::move(first.site_begin);
  g.sites_ = std::move(first.sites);
  const auto out_shift = static_cast<std::uint32_t>(g.out_.size());
  const auto site_shift = static_cast<std::uint32_t>(g.sites_.size());
  for (const std::uint32_t b : second.out_begin) g.out_begin_.push_back(b + out_shift);
  g.out_.insert(g.out_.end(), second.out.begin(), second.out.end());
  for (const std::uint32_t b : second.site_begin) g.site_begin_.push_back(b + site_shift);
  g.sites_.insert(g.sites_.end(), second.sites.begin(), second.sites.end());
  g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
  g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));

  for (const ModuleId r : roots.roots) g.roots_.push_back(index[r]);
  std::sort(g.roots_.begin(), g.roots_.end());
  g.roots_.erase(std::unique(g.roots_.begin(), g.roots_.end()), g.roots_.end());
  g.compute_depths();

  g.problems_ = roots.problems;
  g.problem_begin_.reserve(m + 1);
  for (std::uint32_t i = 0; i < m; ++i) {
    g.problem_begin_.push_back(static_cast<std::uint32_t>(g.problems_.size()));
    const std::vector<Problem>& p = records[ids[i]].problems;
    g.problems_.insert(g.problems_.end(), p.begin(), p.end());
  }
  g.problem_begin_.push_back(static_cast<std::uint32_t>(g.problems_.size()));
  return g;
}

ExactGraph ExactGraph::assemble(Parts parts) {
  ModuleNames names;
  std::vector<ModuleId> id_of;
  id_of.reserve(parts.nodes.size());
  for (const Module& m : parts.nodes) id_of.push_back(names.intern(m.name));
  std::vector<ModuleRecord> records(names.size());
  for (std::size_t k = 0; k < parts.nodes.size(); ++k) {
    ModuleRecord& r = records[id_of[k]];
    r.node = true;
    r.resolved = true;
    r.kind = parts.nodes[k].kind;
    r.origin = std::move(parts.nodes[k].origin);
  }
  for (const EdgeSite& e : parts.edges) {
    records[id_of[e.from]].edges.push_back(OutEdge{id_of[e.to], e.site});
  }
  RootRecord roots;
  for (const std::uint32_t r : parts.roots) roots.roots.push_back(id_of[r]);
  for (Problem& p : parts.problems) {
    const ModuleId at = p.importer.empty() ? kNoModule : names.find(p.importer);
    if (at != kNoModule && at < records.size() && records[at].node) {
      records[at].problems.push_back(std::move(p));
    } else {
      roots.problems.push_back(std::move(p));
    }
  }
  return assemble(names, records, roots);
}

std::optional<ExactGraph> ExactGraph::patched(const ExactGraph& like,
                                              const std::vector<ModuleRecord>& records,
                                              std::span<const ModuleId> changed) {
  if (!like.ids_ || like.problem_begin_.size() != like.size() + 1) return std::nullopt;
  const std::vector<ModuleId>& ids = *like.ids_;
  std::vector<std::uint32_t> index(records.size(), kNone);
  for (std::uint32_t k = 0; k < ids.size(); ++k) {
    if (ids[k] < records.size()) index[ids[k]] = k;
  }

  // The new rows of the changed modules of the graph.
  struct Row {
    std::uint32_t i;
    std::vector<PendingSite> sites;
  };
  std::vector<Row> rows;
  bool deeper = false;   // some new edge shortens a path
  bool dropped = false;  // some import is gone: a path may be longer, or none left
  for (const ModuleId id : changed) {
    const ModuleRecord& r = records[id];
    const std::uint32_t i = index[id];
    if (i == kNone) {
      if (r.node && !r.edges.empty()) return std::nullopt;  // possibly a new module reached
      continue;
    }
    const Module& was = like.module(i);
    if (r.kind != was.kind || r.origin != was.origin) return std::nullopt;
    Row row{i, {}};
    row.sites.reserve(r.edges.size());
    for (const OutEdge& e : r.edges) {
      const std::uint32_t to = e.to < index.size() ? index[e.to] : kNone;
      if (to == kNone) return std::nullopt;  // a module new to the graph
      row.sites.push_back(PendingSite{i, to, e.site});
      if (like.depth(to) > like.depth(i) + 1) deeper = true;
    }
    sort_sites(row.sites);
    for (const std::uint32_t old : like.imports(i)) {
      const auto at =
          std::lower_bound(row.sites.begin(), row.sites.end(), old,
                           [](const PendingSite& s, std::uint32_t to) { return s.to < to; });
      if (at == row.sites.end() || at->to != old) dropped = true;
    }
    rows.push_back(std::move(row));
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.i < b.i; });

  ExactGraph g;
  g.modules_ = like.modules_;
  g.ids_ = like.ids_;
  g.roots_ = like.roots_;
  const auto m = static_cast<std::uint32_t>(like.size());
  g.spare_ = like.spare_;
  if (g.spare_) {
    const std::lock_guard lock(g.spare_->mutex);
    g.out_begin_.swap(g.spare_->out_begin);
    g.out_.swap(g.spare_->out);
    g.site_begin_.swap(g.spare_->site_begin);
    g.sites_.swap(g.spare_->sites);
  }
  g.out_begin_.clear();
  g.out_.clear();
  g.site_begin_.clear();
  g.sites_.clear();
  g.out_begin_.reserve(m + 1);
  // New arrays get room to grow by a little over many patches, so that the
  // spare arrays of a graph a few patches older still hold the next one.
  const auto reserve = [](auto& v, std::size_t n) {
    if (v.capacity() < n + 64) v.reserve(n + n / 64 + 64);
  };
  reserve(g.out_, like.out_.size());
  reserve(g.site_begin_, like.site_begin_.size());
  reserve(g.sites_, like.sites_.size());
  g.problem_begin_.reserve(m + 1);
  g.problems_.assign(like.problems_.begin(), like.problems_.begin() + like.problem_begin_[0]);

  // Unchanged modules in runs: their edges, sites and problems copied in
  // one piece each, the offsets moved by what the changed rows added.
  // Appends `src[from, to)` to `dst`, each plus `shift` (in one loop the
  // compiler vectorises: the copies are most of a rebuild's time).
  const auto shifted = [](std::vector<std::uint32_t>& dst, const std::vector<std::uint32_t>& src,
                          std::uint32_t from, std::uint32_t to, std::int64_t shift) {
    const std::size_t at = dst.size();
    dst.resize(at + (to - from));
    const auto delta = static_cast<std::uint32_t>(shift);  // modulo 2^32, as the offsets are
    std::uint32_t* out = dst.data() + at;
    const std::uint32_t* in = src.data() + from;
    for (std::uint32_t k = 0; k < to - from; ++k) out[k] = in[k] + delta;
  };
  const auto copy_run = [&](std::uint32_t from, std::uint32_t to) {
    if (from == to) return;
    const std::uint32_t e0 = like.out_begin_[from], e1 = like.out_begin_[to];
    shifted(g.out_begin_, like.out_begin_, from, to, static_cast<std::int64_t>(g.out_.size()) - e0);
    g.out_.insert(g.out_.end(), like.out_.begin() + e0, like.out_.begin() + e1);
    const std::uint32_t s0 = like.site_begin_[e0], s1 = like.site_begin_[e1];
    shifted(g.site_begin_, like.site_begin_, e0, e1,
            static_cast<std::int64_t>(g.sites_.size()) - s0);
    g.sites_.insert(g.sites_.end(), like.sites_.begin() + s0, like.sites_.begin() + s1);
    const std::uint32_t p0 = like.problem_begin_[from], p1 = like.problem_begin_[to];
    shifted(g.problem_begin_, like.problem_begin_, from, to,
            static_cast<std::int64_t>(g.problems_.size()) - p0);
    g.problems_.insert(g.problems_.end(), like.problems_.begin() + p0, like.problems_.begin() + p1);
  };
  std::uint32_t next = 0;
  for (const Row& row : rows) {
    copy_run(next, row.i);
    g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
    append_row(row.sites, g.out_, g.site_begin_, g.sites_);
    g.problem_begin_.push_back(static_cast<std::uint32_t>(g.problems_.size()));
    const std::vector<Problem>& p = records[ids[row.i]].problems;
    g.problems_.insert(g.problems_.end(), p.begin(), p.end());
    next = row.i + 1;
  }
  copy_run(next, m);
  g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
  g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
  g.problem_begin_.push_back(static_cast<std::uint32_t>(g.problems_.size()));
  if (deeper || dropped) {
    g.compute_depths();
    const std::vector<std::int32_t>& depths = *g.depths_;
    // A module no longer reached leaves the graph: the caller assembles.
    if (dropped && std::find(depths.begin(), depths.end(), -1) != depths.end()) return std::nullopt;
    if (depths == *like.depths_) g.depths_ = like.depths_;
  } else {
    g.depths_ = like.depths_;
  }
  return g;
}

void ExactGraph::compute_depths() {
  auto depths = std::make_shared<std::vector<std::int32_t>>(size(), -1);
  std::vector<std::int32_t>& d = *depths;
  std::vector<std::uint32_t> queue(roots_.begin(), roots_.end());
  for (const std::uint32_t r : roots_) d[r] = 0;
  for (std::size_t k = 0; k < queue.size(); ++k) {
    const std::uint32_t i = queue[k];
    for (const std::uint32_t j : imports(i)) {
      if (d[j] >= 0) continue;
      d[j] = d[i] + 1;
      queue.push_back(j);
    }
  }
  depths_ = std::move(depths);
}

const ExactGraph::Importers& ExactGraph::importers_index() const {
  std::call_once(importers_->once, [&] {
    const std::size_t n = size();
    std::vector<std::uint32_t>& begin = importers_->begin;
    begin.assign(n + 1, 0);
    for (const std::uint32_t j : out_) ++begin[j + 1];
    for (std::size_t i = 0; i < n; ++i) begin[i + 1] += begin[i];
    importers_->of.assign(out_.size(), 0);
    std::vector<std::uint32_t> fill(begin.begin(), begin.end() - 1);
    for (std::uint32_t i = 0; i < n; ++i) {
      for (const std::uint32_t j : imports(i)) importers_->of[fill[j]++] = i;  // ascending i
    }
  });
  return *importers_;
}

std::optional<std::uint32_t> ExactGraph::find(std::string_view name) const noexcept {
  if (!modules_) return std::nullopt;
  const std::vector<Module>& modules = *modules_;
  const auto it = std::lower_bound(modules.begin(), modules.end(), name,
                                   [](const Module& m, std::string_view n) { return m.name < n; });
  if (it == modules.end() || it->name != name) return std::nullopt;
  return static_cast<std::uint32_t>(it - modules.begin());
}

std::span<const std::uint32_t> ExactGraph::imports(std::uint32_t i) const noexcept {
  return {out_.data() + out_begin_[i], out_begin_[i + 1] - out_begin_[i]};
}

std::span<const std::uint32_t> ExactGraph::importers_of(std::uint32_t i) const noexcept {
  const Importers& index = importers_index();
  return {index.of.data() + index.begin[i], index.begin[i + 1] - index.begin[i]};
}

std::span<const Site> ExactGraph::sites(std::uint32_t from, std::uint32_t to) const noexcept {
  const std::span<const std::uint32_t> out = imports(from);
  const auto it = std::lower_bound(out.begin(), out.end(), to);
  if (it == out.end() || *it != to) return {};
  const std::size_t e = out_begin_[from] + static_cast<std::size_t>(it - out.begin());
  return {sites_.data() + site_begin_[e], site_begin_[e + 1] - site_begin_[e]};
}

std::vector<std::vector<std::uint32_t>> ExactGraph::cycles() const {
  const Components components = strong_components(out_begin_, out_);
  std::vector<std::vector<std::uint32_t>> members(components.count);
  for (std::uint32_t v = 0; v < components.of.size(); ++v) members[components.of[v]].push_back(v);
  std::vector<std::vector<std::uint32_t>> out;
  for (auto& component : members) {
    if (component.size() > 1) out.push_back(std::move(component));  // already in node order
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint32_t> ExactGraph::importers(std::span<const std::uint32_t> targets,
                                                 bool transitive) const {
  std::vector<bool> seen(size(), false);
  std::vector<std::uint32_t> frontier(targets.begin(), targets.end());
  std::vector<std::uint32_t> out;
  while (!frontier.empty()) {
    std::vector<std::uint32_t> next;
    for (const std::uint32_t t : frontier) {
      for (const std::uint32_t i : importers_of(t)) {
        if (seen[i]) continue;
        seen[i] = true;
        out.push_back(i);
        next.push_back(i);
      }
    }
    if (!transitive) break;
    frontier = std::move(next);
  }
  std::sort(out.begin(), out.end());
  return out;
}

ExactGraph ExactGraph::subgraph(const std::vector<bool>& keep) const {
  ExactGraph g;
  std::vector<std::uint32_t> index(size(), kNone);
  auto modules = std::make_shared<std::vector<Module>>();
  auto depths = std::make_shared<std::vector<std::int32_t>>();
  for (std::uint32_t i = 0; i < size(); ++i) {
    if (!keep[i]) continue;
    index[i] = static_cast<std::uint32_t>(modules->size());
    modules->push_back(module(i));
    depths->push_back(depth(i));
  }
  g.modules_ = std::move(modules);
  g.depths_ = std::move(depths);
  g.out_begin_.push_back(0);
  g.site_begin_.push_back(0);
  for (std::uint32_t i = 0; i < size(); ++i) {
    if (!keep[i]) continue;
    for (std::uint32_t e = out_begin_[i]; e < out_begin_[i + 1]; ++e) {
      if (index[out_[e]] == kNone) continue;
      g.out_.push_back(index[out_[e]]);
      g.sites_.insert(g.sites_.end(), sites_.begin() + site_begin_[e],
                      sites_.begin() + site_begin_[e + 1]);
      g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
    }
    g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
  }
  for (const std::uint32_t r : roots_) {
    if (index[r] != kNone) g.roots_.push_back(index[r]);
  }
  for (const Problem& p : problems_) {
    const std::optional<std::uint32_t> at = find(p.importer);
    if (p.importer.empty() || (at && keep[*at])) g.problems_.push_back(p);
  }
  return g;
}

template <class Keep>
ExactGraph ExactGraph::with_rows(Keep&& keep) const {
  ExactGraph g;
  g.modules_ = modules_;
  g.depths_ = depths_;
  g.roots_ = roots_;
  g.problems_ = problems_;
  g.problem_begin_ = problem_begin_;
  const auto n = static_cast<std::uint32_t>(size());
  g.out_begin_.reserve(out_begin_.size());
  g.out_.reserve(out_.size());
  g.site_begin_.reserve(site_begin_.size());
  g.sites_.reserve(sites_.size());
  g.site_begin_.push_back(0);
  for (std::uint32_t i = 0; i < n; ++i) {
    g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
    for (std::uint32_t e = out_begin_[i]; e < out_begin_[i + 1]; ++e) {
      const std::size_t before = g.sites_.size();
      keep(i, out_[e],
           std::span<const Site>(sites_.data() + site_begin_[e],
                                 site_begin_[e + 1] - site_begin_[e]),
           g.sites_);
      if (g.sites_.size() == before) continue;
      g.out_.push_back(out_[e]);
      g.site_begin_.push_back(static_cast<std::uint32_t>(g.sites_.size()));
    }
  }
  g.out_begin_.push_back(static_cast<std::uint32_t>(g.out_.size()));
  return g;
}

ExactGraph ExactGraph::as_written() const {
  return with_rows(
      [](std::uint32_t, std::uint32_t, std::span<const Site> sites, std::vector<Site>& out) {
        for (const Site& s : sites) {
          if ((s.context & context::kImplied) == 0) out.push_back(s);
        }
      });
}

ExactGraph ExactGraph::without(std::vector<Edge> removed) const {
  std::sort(removed.begin(), removed.end());
  // Rows come in order of importer and, in each, of imported module: the
  // pairs are met in the order sorted, each once.
  std::size_t next = 0;
  return with_rows([&](std::uint32_t from, std::uint32_t to, std::span<const Site> sites,
                       std::vector<Site>& out) {
    const Edge here{from, to};
    while (next < removed.size() && removed[next] < here) ++next;
    if (next < removed.size() && removed[next] == here) return;
    out.insert(out.end(), sites.begin(), sites.end());
  });
}

}  // namespace tarnwick
