// HeldNode: a node reached by a path walk, kept alive and, when it is a
// directory, locked (shared, or exclusive when the walk was asked to).
//
// A directory seen under its own lock without the going mark cannot be
// detached until that lock is let go, so it needs no counted reference;
// anything else (a file, a directory already going, a node reached through
// the table) is held by one.
//
// Thread safety: a local value of one thread; moving it hands the lock over.
#pragma once

#include <utility>

#include "fs/inode.h"

namespace moxtile {

class HeldNode final {
 public:
  HeldNode() noexcept = default;
  HeldNode(HeldNode&& other) noexcept
      : node_(std::exchange(other.node_, nullptr)),
        owned_(std::move(other.owned_)),
        exclusive_(other.exclusive_) {}
  HeldNode& operator=(HeldNode&& other) noexcept {
    if (this != &other) {
      let_go();
      node_ = std::exchange(other.node_, nullptr);
      owned_ = std::move(other.owned_);
      exclusive_ = other.exclusive_;
    }
    return *this;
  }
  HeldNode(const HeldNode&) = delete;
  HeldNode& operator=(const HeldNode&) = delete;
  ~HeldNode() { let_go(); }

  // Holds the node `owned` refers to, locked in the given mode when it is a
  // directory.
  static HeldNode take(NodeRef owned, bool exclusive) {
    HeldNode held(owned.get(), exclusive);
    held.owned_ = std::move(owned);
    return held;
  }

  // Locks (or counts) `node`, which the caller reached without a lock or a
  // reference, so that only the epochs keep it allocated (see epoch.h).
  // Empty when the node has already lost its last reference.
  static HeldNode take_reached(INode* node, bool exclusive) {
    HeldNode held(node, exclusive);
    // A directory not going is still listed, and its lock keeps it so.
    if (node->is_directory() && !node->going()) return held;
    held.owned_ = NodeRef::try_share(node);
    if (!held.owned_) held.reset();
    return held;
  }

  INode* get() const noexcept { return node_; }
  INode* operator->() const noexcept { return node_; }
  INode& operator*() const noexcept { return *node_; }

  // A counted reference to the node, then lets go of the lock.
  NodeRef release() noexcept {
    NodeRef ref = owned_ ? std::move(owned_) : NodeRef::share(node_);
    let_go();
    return ref;
  }

  // Lets go of the lock and the node now.
  void reset() noexcept { let_go(); }

 private:
  // Locks `node` when it is a directory; the caller sees to keeping it alive.
  HeldNode(INode* node, bool exclusive) : node_(node), exclusive_(exclusive) {
    if (!node->is_directory()) return;
    if (exclusive) {
      node->lock().lock();
    } else {
      node->lock().lock_shared();
    }
  }

  void unlock() noexcept {
    if (!node_->is_directory()) return;
    if (exclusive_) {
      node_->lock().unlock();
    } else {
      node_->lock().unlock_shared();
    }
  }
  void let_go() noexcept {
    if (node_ == nullptr) return;
    unlock();
    node_ = nullptr;
    owned_.reset();
  }

  INode* node_ = nullptr;
  NodeRef owned_;  // set when the lock alone does not keep node_ alive
  bool exclusive_ = false;
};

}  // namespace moxtile
