#include "vfs/watch/coalesce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace nivern_vfs::coalesce {
namespace {

using namespace std::chrono_literals;
using K = ChangeKind;
using Changes = std::vector<std::pair<std::string, ChangeKind>>;
using Rescans = std::vector<std::pair<std::string, RescanReason>>;

const Instant T0{};
Instant at(std::chrono::milliseconds ms) {
  return T0 + ms;
}

TEST(Coalescer, NetChangeOfOnePath) {
  Coalescer c("/p");
  c.note("/p/a", WatchOp::created, true, at(0ms));
  c.note("/p/a", WatchOp::removed, true, at(1ms));  // created then removed: gone
  c.note("/p/b", WatchOp::removed, true, at(2ms));
  c.note("/p/b", WatchOp::created, true, at(3ms));  // removed then created: modified
  c.note("/p//c/", WatchOp::modified, true, at(4ms));
  c.note("/p/c", WatchOp::created, true, at(5ms));  // one key; the newer spelling stays
  ChangeSet s = c.flush(at(40ms));
  EXPECT_EQ(s.changes, (Changes{{"/p/b", K::modified()}, {"/p/c", K::modified()}}));
  EXPECT_EQ(s.events, 6u);
  EXPECT_EQ(s.seq, 1u);
  EXPECT_FALSE(c.due());
}

TEST(Coalescer, RenamesPairUp) {
  Coalescer c("/p");
  c.note("/p/a", WatchOp::rename_from, true, at(0ms));
  c.note("/p/b", WatchOp::rename_to, true, at(0ms));
  c.note("/p/b", WatchOp::modified, true, at(0ms));   // the target keeps its source
  c.note("/p/x", WatchOp::rename_to, true, at(0ms));  // no source: changed (it may have replaced one)
  c.note("/p/e", WatchOp::rename_from, true, at(0ms));
  c.note("/p/d", WatchOp::rename_from, true, at(0ms));
  c.note("/p/f", WatchOp::rename_to, true, at(0ms));
  c.note("/p/g", WatchOp::rename_from, true, at(0ms));  // never paired
  EXPECT_EQ(c.flush(at(30ms)).changes, (Changes{{"/p/a", K::removed()},
                                                {"/p/b", K::moved("/p/a")},
                                                {"/p/d", K::removed()},
                                                {"/p/e", K::removed()},
                                                {"/p/f", K::moved("/p/d")},
                                                {"/p/g", K::removed()},
                                                {"/p/x", K::modified()}}));
  // A lone old name re-created at once (a save through a backup elsewhere) stays changed.
  c.note("/p/s", WatchOp::rename_from, true, at(40ms));
  c.note("/p/s", WatchOp::created, true, at(41ms));
  EXPECT_EQ(c.flush(at(80ms)).changes, (Changes{{"/p/s", K::modified()}}));

  // A second rename onto a target records the first source as removed.
  c.apply("/p/a", K::modified());
  c.apply("/p/b", K::moved("/p/a"));
  c.apply("/p/b", K::moved("/p/d"));
  EXPECT_EQ(c.flush(at(120ms)).changes, (Changes{{"/p/a", K::removed()}, {"/p/b", K::moved("/p/d")}}));
}

TEST(Coalescer, DueTimes) {
  Coalescer c("/p");
  EXPECT_FALSE(c.due());
  c.note("/p/a", WatchOp::modified, true, at(0ms));
  EXPECT_EQ(c.due(), at(30ms));
  c.note("/p/a", WatchOp::modified, true, at(25ms));
  EXPECT_EQ(c.due(), at(55ms));
  for (auto t = 40ms; t <= 400ms; t += 20ms) c.note("/p/a", WatchOp::modified, false, at(t));
  EXPECT_EQ(c.due(), at(250ms));
  (void)c.flush(at(250ms));
  c.note_rescan("/p", RescanReason::events_lost, at(300ms));  // a rescan opens a batch too
  EXPECT_EQ(c.due(), at(330ms));
}

TEST(Coalescer, ExcludedPathsCountButChangeNothing) {
  Coalescer c("/p");
  c.note("/p/a", WatchOp::created, false, at(0ms));
  c.note("/p/b", WatchOp::rename_from, false, at(0ms));
  c.note("/p/c", WatchOp::rename_to, true, at(0ms));  // no source was taken
  (void)c.flush(at(1ms));
  c.note("/p/a", WatchOp::created, false, at(50ms));
  c.note("/p/a", WatchOp::created, false, at(51ms));
  ChangeSet s = c.flush(at(90ms));
  EXPECT_TRUE(s.changes.empty());
  EXPECT_TRUE(s.rescans.empty());
  EXPECT_EQ(s.seq, 2u);
  EXPECT_EQ(s.events, 2u);
}

TEST(Coalescer, OverflowBecomesARootRescanAtMostEveryTwoSeconds) {
  Coalescer c("/p/");
  auto batch = [&](std::chrono::milliseconds t) {
    for (int i = 0; i < 255; ++i) c.note("/p/f" + std::to_string(i), WatchOp::created, true, at(t));
    c.note("/p/x", WatchOp::created, false, at(t));  // excluded, still the 256th
    c.note("/q/outside", WatchOp::modified, true, at(t));
    return c.flush(at(t + 30ms));
  };
  ChangeSet first = batch(0ms);
  EXPECT_EQ(first.rescans, (Rescans{{"/p/", RescanReason::too_many_changes}}));
  EXPECT_EQ(first.changes, (Changes{{"/q/outside", K::modified()}}));
  ChangeSet second = batch(1000ms);
  EXPECT_TRUE(second.rescans.empty());
  EXPECT_EQ(second.changes.size(), 256u);
  EXPECT_EQ(batch(2030ms).rescans.size(), 1u);
}

TEST(Coalescer, LostEventsWinOverTooManyChanges) {
  Coalescer c("/p");
  c.note_rescan("/p", RescanReason::events_lost, at(0ms));
  c.note_rescan("/p", RescanReason::too_many_changes, at(0ms));
  c.note_rescan("/r/", RescanReason::too_many_changes, at(0ms));
  c.note_rescan("/r", RescanReason::events_lost, at(0ms));
  c.note("/p/a", WatchOp::modified, true, at(0ms));
  EXPECT_EQ(c.flush(at(30ms)).rescans,
            (Rescans{{"/p", RescanReason::events_lost}, {"/r/", RescanReason::events_lost}}));
}

TEST(CollapseRescans, AParentAbsorbsItsDescendantsOnly) {
  std::map<std::string, RescanReason, path_order::Less> m{{"/p", RescanReason::events_lost},
                                                          {"/p/a/b", RescanReason::events_lost},
                                                          {"/p/a", RescanReason::too_many_changes},
                                                          {"/pa", RescanReason::too_many_changes}};
  EXPECT_EQ(collapse_rescans(m),
            (Rescans{{"/p", RescanReason::events_lost}, {"/pa", RescanReason::too_many_changes}}));
}

// A naive model: a flat list searched linearly, the merge rules written as a table.
struct Model {
  std::string root;
  std::vector<std::pair<std::string, K>> changes;
  std::vector<std::pair<std::string, RescanReason>> rescans;
  std::optional<std::string> from;
  std::optional<Instant> first, last, overflow;
  std::uint64_t count = 0, flushes = 0;

  std::pair<std::string, K>* find(const std::string& p) {
    for (auto& e : changes)
      if (path_order::equal(e.first, p)) return &e;
    return nullptr;
  }
  void erase(const std::string& p) {
    std::erase_if(changes, [&](auto& e) { return path_order::equal(e.first, p); });
  }
  void apply(const std::string& p, K k) {
    // rows: old created, removed, modified, moved; columns: new kind. 'g' gone, 'o' old kind, 'n' new kind.
    static const char* table[] = {"cgcn", "mrmn", "mrmn", "oron"};
    auto* e = find(p);
    if (e && e->second.tag == K::Tag::moved && k.tag == K::Tag::moved) {
      std::string src = e->second.from;
      erase(src);
      changes.emplace_back(src, K::removed());
      e = find(p);
    }
    if (!e) return changes.emplace_back(p, k), void();
    K old = e->second;
    erase(p);
    const char c = table[int(old.tag)][int(k.tag)];
    if (c == 'g') return;
    changes.emplace_back(p, c == 'c'   ? K::created()
                            : c == 'm' ? K::modified()
                            : c == 'r' ? K::removed()
                            : c == 'o' ? old
                                       : k);
  }
  void touch(Instant now) {
    if (!first) first = now;
    last = now;
  }
  void note(const std::string& p, WatchOp op, bool keep, Instant now) {
    ++count;
    touch(now);
    if (!keep) return;
    if (op == WatchOp::created) apply(p, K::created());
    if (op == WatchOp::removed) apply(p, K::removed());
    if (op == WatchOp::modified) apply(p, K::modified());
    if (op == WatchOp::rename_from) {
      apply(p, K::removed());
      from = p;
    }
    if (op == WatchOp::rename_to) {
      auto src = from;
      from.reset();
      apply(p, src ? K::moved(*src) : K::modified());
    }
  }
  void rescan(const std::string& p, RescanReason r, Instant now) {
    touch(now);
    for (auto& e : rescans)
      if (path_order::equal(e.first, p)) {
        if (e.second != RescanReason::events_lost) e.second = r;
        return;
      }
    rescans.emplace_back(p, r);
  }
  std::optional<Instant> due() const {
    if (!first) return std::nullopt;
    return std::min(*last + 30ms, *first + 250ms);
  }
  ChangeSet flush(Instant now) {
    from.reset();
    if (count >= 256 && (!overflow || now - *overflow >= 2s)) {
      overflow = now;
      rescan(root, RescanReason::too_many_changes, now);
    }
    ChangeSet s;
    for (auto& r : rescans) {
      bool under_other = std::any_of(rescans.begin(), rescans.end(), [&](auto& o) {
        return !path_order::equal(o.first, r.first) && path_order::lies_under(r.first, o.first);
      });
      if (!under_other) s.rescans.push_back(r);
    }
    for (auto& c : changes) {
      if (std::none_of(s.rescans.begin(), s.rescans.end(),
                       [&](auto& r) { return path_order::lies_under(c.first, r.first); }))
        s.changes.push_back(c);
    }
    auto by_path = [](auto& a, auto& b) { return path_order::less(a.first, b.first); };
    std::sort(s.rescans.begin(), s.rescans.end(), by_path);
    std::sort(s.changes.begin(), s.changes.end(), by_path);
    s.seq = ++flushes;
    s.events = count;
    changes.clear(), rescans.clear(), count = 0, first.reset(), last.reset();
    return s;
  }
};

TEST(Coalescer, AgreesWithANaiveModelOnRandomStreams) {
  const std::vector<std::string> paths = {"/p", "/p/a", "/p//a/", "/p/a/b", "/p/a-b", "/p/b", "/pa", "/q"};
  std::mt19937 rng(20261207);
  for (int round = 0; round < 300; ++round) {
    Coalescer c("/p");
    Model m;
    m.root = "/p";
    Instant now = T0;
    const bool storm = round % 10 == 0;  // dense enough to overflow
    for (int step = 0; step < (storm ? 3000 : 60); ++step) {
      now += std::chrono::milliseconds(rng() % (storm ? 200 : 3) == 0 ? rng() % 60 : 0);
      if (auto d = c.due(); d && *d <= now) {
        ASSERT_EQ(m.due(), d);
        ChangeSet a = c.flush(now), b = m.flush(now);
        ASSERT_EQ(a.changes, b.changes) << "round " << round << " step " << step;
        ASSERT_EQ(a.rescans, b.rescans);
        ASSERT_EQ(a.seq, b.seq);
        ASSERT_EQ(a.events, b.events);
      }
      const std::string& p = paths[rng() % paths.size()];
      if (rng() % 40 == 0) {
        auto r = rng() % 2 ? RescanReason::events_lost : RescanReason::too_many_changes;
        c.note_rescan(p, r, now);
        m.rescan(p, r, now);
      } else {
        auto op = WatchOp(rng() % 5);
        bool keep = rng() % 8 != 0;
        c.note(p, op, keep, now);
        m.note(p, op, keep, now);
      }
      ASSERT_EQ(c.due(), m.due());
    }
  }
}

}  // namespace
}  // namespace nivern_vfs::coalesce
