// The inode table and the directory child list, each driven by random
// operations and compared with a plain reference model; lookups without the
// lock racing a writer; deferred freeing under the epochs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fs/child_list.h"
#include "fs/epoch.h"
#include "fs/inode.h"
#include "fs/inode_table.h"

namespace moxtile {
namespace {

NodeRef file_node(InodeId id, std::string_view name = "x") {
  return INode::make(id, 0, 1, name, NodeType::File);
}

TEST(FsInodeTable, InsertGetReplaceRemove) {
  InodeTable table;
  EXPECT_FALSE(table.get(5));
  EXPECT_FALSE(table.remove(5));
  NodeRef first = file_node(5, "first");
  EXPECT_FALSE(table.insert(first));
  EXPECT_EQ(table.get(5).get(), first.get());
  NodeRef replaced = table.insert(file_node(5, "second"));
  EXPECT_EQ(replaced.get(), first.get());
  EXPECT_EQ(table.get(5)->name(), "second");
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.remove(5)->name(), "second");
  EXPECT_EQ(table.size(), 0u);
}

// Ids drawn so that many land in one shard and collide in their home slots,
// which exercises probing, growth and backward-shift deletion.
TEST(FsInodeTable, MatchesAReferenceMapUnderRandomOperations) {
  InodeTable table;
  std::map<InodeId, INode*> model;
  std::mt19937_64 rng(42);
  for (int step = 0; step < 60000; ++step) {
    InodeId id = (rng() % 4 == 0) ? rng() % 4000 : (rng() % 400) * 32 + (rng() % 2) * 4096 * 32;
    switch (rng() % 3) {
      case 0: {
        NodeRef node = file_node(id);
        INode* raw = node.get();
        NodeRef old = table.insert(std::move(node));
        auto it = model.find(id);
        ASSERT_EQ(old.get(), it == model.end() ? nullptr : it->second);
        model[id] = raw;
        break;
      }
      case 1: {
        NodeRef removed = table.remove(id);
        auto it = model.find(id);
        ASSERT_EQ(removed.get(), it == model.end() ? nullptr : it->second);
        if (it != model.end()) model.erase(it);
        break;
      }
      default: {
        auto it = model.find(id);
        ASSERT_EQ(table.get(id).get(), it == model.end() ? nullptr : it->second);
      }
    }
  }
  EXPECT_EQ(table.size(), model.size());
  std::size_t visited = 0;
  table.for_each([&](const NodeRef& node) {
    ++visited;
    EXPECT_EQ(model.at(node->id()), node.get());
  });
  EXPECT_EQ(visited, model.size());
}

TEST(FsChildList, MatchesAReferenceListUnderRandomOperations) {
  std::mt19937_64 rng(7);
  for (int size_limit : {6, 9, 40, 700}) {
    ChildList list;
    std::vector<NodeRef> model;  // in order
    InodeId next = 1;
    for (int step = 0; step < 8000; ++step) {
      bool add =
          model.size() < 2 || (model.size() < static_cast<std::size_t>(size_limit) && rng() % 2);
      if (add) {
        // Names reused across removals, some beyond the inline name size.
        std::string name = "n";
        name += std::to_string(rng() % (size_limit * 2 + 1));
        if (rng() % 5 == 0) name += std::string(30, 'L');
        bool present = std::any_of(model.begin(), model.end(),
                                   [&](const NodeRef& n) { return n->name() == name; });
        ASSERT_EQ(list.find(name) != nullptr, present) << name;
        {
          epoch::ReadGuard reading;
          INode* seen = nullptr;
          ASSERT_TRUE(list.find_without_lock(name, seen));  // nothing races here
          ASSERT_EQ(seen, list.find(name)) << name;
        }
        if (present) continue;
        NodeRef node = file_node(next++, name);
        list.append(node);
        model.push_back(node);
      } else {
        std::size_t at = rng() % model.size();
        NodeRef removed = list.remove(model[at].get());
        ASSERT_EQ(removed.get(), model[at].get());
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        EXPECT_FALSE(list.remove(removed.get()));
      }
      ASSERT_EQ(list.size(), model.size());
      if (step % 97 == 0) {
        std::vector<INode*> order;
        list.for_each([&](INode* n) {
          order.push_back(n);
          return true;
        });
        ASSERT_EQ(order.size(), model.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
          ASSERT_EQ(order[i], model[i].get());
          ASSERT_EQ(list.find(model[i]->name()), model[i].get());
        }
      }
    }
  }
}

// Readers without the lock race a writer that appends, removes, moves the
// list to the heap and grows, compacts and shifts its index: a name listed
// throughout is always found (or the reader is told to look again), never
// missed and never mistaken for another.
TEST(FsChildList, LookupsWithoutTheLockNeverMissAListedName) {
  for (int round = 0; round < 20; ++round) {
    ChildList list;
    std::vector<NodeRef> churn;
    InodeId next = 100;
    auto add_churn = [&] {
      churn.push_back(file_node(next, "c" + std::to_string(next)));
      ++next;
      list.append(churn.back());
    };
    // Churn ahead of the kept names too, so that removals shift them.
    add_churn();
    add_churn();
    std::vector<NodeRef> keep;
    for (InodeId i = 0; i < 3; ++i) {
      keep.push_back(file_node(1 + i, "keep" + std::to_string(i)));
      list.append(keep.back());
    }
    std::atomic<bool> stop{false};
    std::atomic<long> missed{0}, wrong{0}, looked{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
      readers.emplace_back([&] {
        while (!stop.load(std::memory_order_relaxed)) {
          for (std::size_t i = 0; i < keep.size(); ++i) {
            epoch::ReadGuard reading;
            INode* found = nullptr;
            if (!list.find_without_lock("keep" + std::to_string(i), found)) continue;
            ++looked;
            if (found == nullptr) {
              ++missed;
            } else if (found != keep[i].get()) {
              ++wrong;
            }
          }
        }
      });
    }
    std::mt19937_64 rng(static_cast<std::uint64_t>(round));
    // Until the readers have really raced it, however the threads are scheduled.
    for (int step = 0; step < 3000 || looked.load() < 5000; ++step) {
      if (churn.size() < 200 && (churn.empty() || rng() % 3 != 0)) {
        add_churn();
      } else {
        std::size_t at = rng() % churn.size();
        list.remove(churn[at].get());
        churn.erase(churn.begin() + static_cast<std::ptrdiff_t>(at));
      }
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(missed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
  }
}

// Something retired while a reader is inside a guard is freed only after
// that reader has left it.
TEST(FsEpoch, ARetiredObjectOutlivesTheReadersThatCouldSeeIt) {
  static std::atomic<int> freed{0};
  freed = 0;
  std::atomic<int> stage{0};
  std::thread reader([&] {
    epoch::ReadGuard reading;
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
  });
  while (stage.load() != 1) std::this_thread::yield();
  int object = 0;
  epoch::retire(&object, [](void*) { ++freed; });
  for (int i = 0; i < 4; ++i) epoch::collect();
  EXPECT_EQ(freed.load(), 0) << "freed while a reader could still hold it";
  stage = 2;
  reader.join();
  epoch::collect();
  EXPECT_EQ(freed.load(), 1);
}

TEST(FsChildList, HoldsItsChildrenAlive) {
  NodeRef child = file_node(1, "c");
  {
    ChildList list;
    list.append(child);
    INode* raw = child.get();
    child.reset();
    EXPECT_EQ(list.find("c"), raw);  // still alive through the list
    child = list.remove(raw);
  }
  EXPECT_EQ(child->name(), "c");
}

}  // namespace
}  // namespace moxtile
