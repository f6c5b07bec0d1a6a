#include "fs/inode.h"

#include <cstring>
#include <new>

#include "base/debug_text.h"
#include "fs/epoch.h"

namespace moxtile {

// Budget: glibc serves malloc(121..136) from a 144-byte chunk.
static_assert(sizeof(INode) <= 136, "INode must stay within a 144-byte malloc chunk");

NodeRef INode::make(InodeId id, InodeId parent, std::uint32_t depth, std::string_view name,
                    NodeType type, InodeId target) {
  return make_tagged(id, parent, depth, name, name_tag_of(name), type, target);
}

NodeRef INode::make_tagged(InodeId id, InodeId parent, std::uint32_t depth, std::string_view name,
                           std::uint32_t tag, NodeType type, InodeId target) {
  return NodeRef::adopt(new INode(id, parent, depth, name, tag, type, target));
}

void INode::retire() noexcept {
  if (is_file()) payload_.file.data.clear();
  epoch::retire(this, [](void* node) { delete static_cast<INode*>(node); });
}

INode::INode(InodeId id, InodeId parent, std::uint32_t depth, std::string_view name,
             std::uint32_t tag, NodeType type, InodeId target)
    : id_(id),
      parent_(parent),
      name_size_(static_cast<std::uint32_t>(name.size())),
      depth_(static_cast<std::uint8_t>(depth)),
      type_(type),
      name_tag_(tag) {
  if (name.size() > UINT32_MAX) throw std::bad_alloc();
  if (name.size() <= kInlineNameCapacity) {
    if (!name.empty()) std::memcpy(name_.inline_, name.data(), name.size());
  } else {
    name_.heap_ = new char[name.size()];
    std::memcpy(name_.heap_, name.data(), name.size());
  }
  switch (type) {
    case NodeType::File:
      new (&payload_.file) FilePayload();
      break;
    case NodeType::Directory:
      new (&payload_.children) ChildList();
      break;
    case NodeType::Symlink:
      payload_.target = target;
      break;
  }
}

INode::~INode() {
  switch (type_) {
    case NodeType::File:
      payload_.file.~FilePayload();
      break;
    case NodeType::Directory:
      payload_.children.~ChildList();
      break;
    case NodeType::Symlink:
      break;
  }
  if (name_size_ > kInlineNameCapacity) delete[] name_.heap_;
}

void INode::append_debug(std::string& out) const {
  out += "INode { id: ";
  append_decimal(out, id_);
  out += ", parent: ";
  append_decimal(out, parent_);
  out += ", depth: ";
  append_decimal(out, std::uint64_t{depth_});
  out += ", name: ";
  append_quoted(out, name());
  out += ", data: RwLock { data: ";
  if (lock_.try_lock_shared()) {
    try {
      append_kind_debug(out);
    } catch (...) {
      lock_.unlock_shared();
      throw;
    }
    lock_.unlock_shared();
  } else {
    out += "<locked>";
  }
  out += ", poisoned: false, .. } }";
}

// REQUIRES: lock() held (shared).
void INode::append_kind_debug(std::string& out) const {
  switch (type_) {
    case NodeType::File: {
      out += "File { data: FileData { data: [";
      bool first = true;
      for (std::uint8_t byte : payload_.file.data.bytes()) {
        if (!first) out += ", ";
        first = false;
        append_decimal(out, std::uint64_t{byte});
      }
      out += "] }, lock: FileLock { flag: ";
      append_decimal(out, payload_.file.lock.load());
      out += " } }";
      break;
    }
    case NodeType::Directory: {
      out += "Directory { children: [";
      bool first = true;
      payload_.children.for_each([&](const INode* child) {
        if (!first) out += ", ";
        first = false;
        append_decimal(out, child->id());
        return true;
      });
      out += "] }";
      break;
    }
    case NodeType::Symlink:
      out += "Symlink { target: ";
      append_decimal(out, payload_.target);
      out += " }";
      break;
  }
}

}  // namespace moxtile
