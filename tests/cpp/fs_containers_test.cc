// The inode table and the directory child list, each driven by random
// operations and compared with a plain reference model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fs/child_list.h"
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
