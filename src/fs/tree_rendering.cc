#include "fs/tree_rendering.h"

namespace moxtile {
namespace {

// `path` and `prefix` are scratch buffers, grown for each level and restored
// on return. The recursion is bounded by the filesystem's depth limit.
IoStatus append_tree(const FileSystem& fs, std::string& path, std::string& prefix,
                     std::string& out) {
  IoResult<InodeId> id = fs.get_inode_by_path_raw(path);
  if (!id) return id.error();
  IoResult<Listing> listing = fs.ls_raw(*id);
  if (!listing) return listing.error();

  for (const std::string& directory : listing->directories) {
    out += prefix;
    out += directory;
    out += "/\n";
    const std::size_t path_size = path.size();
    const std::size_t prefix_size = prefix.size();
    // Not normalised: from "/" the child is "//name", which resolves like "/name".
    path += '/';
    path += directory;
    prefix += "  ";
    IoStatus status = append_tree(fs, path, prefix, out);
    path.resize(path_size);
    prefix.resize(prefix_size);
    if (!status) return status;
  }
  for (const std::string& file : listing->files) {
    out += prefix;
    out += file;
    out += '\n';
  }
  return {};
}

}  // namespace

IoResult<std::string> render_tree(const FileSystem& fs, std::string_view path,
                                  std::string_view prefix) {
  std::string path_buffer(path);
  std::string prefix_buffer(prefix);
  std::string out;
  IoStatus status = append_tree(fs, path_buffer, prefix_buffer, out);
  if (!status) return status.error();
  return out;
}

}  // namespace moxtile
