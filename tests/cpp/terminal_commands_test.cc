// The interpreter and its nine commands on a real filesystem: outputs and the
// exact error texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fs/file_handle.h"
#include "fs/file_system.h"
#include "terminal/command_table.h"
#include "terminal/rm_args.h"
#include "terminal/simple_terminal.h"

namespace moxtile {
namespace {

const std::string kNotFound = "Inode not found";
const std::string kNotDir = "The specified INode is not a directory";
const std::string kExists = "Resource already exists";
const std::string kNotEmpty = "Directory is not empty";
const std::string kInUse = "Resource is currently in use";

class TerminalTest : public ::testing::Test {
 protected:
  // After SetUp: docs is id 1 (a directory), a.txt is id 2 (an empty file).
  void SetUp() override {
    ASSERT_EQ(out("mkdir docs"), "");
    ASSERT_EQ(out("touch a.txt"), "");
  }

  std::string out(const std::string& line) { return out(term_, line); }
  std::string err(const std::string& line) { return err(term_, line); }

  static std::string out(SimpleTerminal& term, const std::string& line) {
    TermResult<std::string> r = term.run(line);
    EXPECT_TRUE(r.ok()) << line << " failed: " << (r.ok() ? "" : r.error());
    return r.ok() ? r.value() : "<error>";
  }
  static std::string err(SimpleTerminal& term, const std::string& line) {
    TermResult<std::string> r = term.run(line);
    EXPECT_FALSE(r.ok()) << line << " succeeded with: " << (r.ok() ? r.value() : "");
    return r.ok() ? "<ok>" : r.error();
  }

  std::shared_ptr<FileSystem> fs_ = FileSystem::create();
  SimpleTerminal term_{fs_};
};

struct LineCase {
  const char* name;
  std::string line;
  bool ok;
  std::string text;  // the output, or the error text
};

class TerminalLine : public TerminalTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(TerminalLine, AnswersExactly) {
  const LineCase& c = GetParam();
  if (c.ok) {
    EXPECT_EQ(out(c.line), c.text);
  } else {
    EXPECT_EQ(err(c.line), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TerminalLine,
    ::testing::Values(
        LineCase{"empty", "", true, ""}, LineCase{"blanks", "   ", true, ""},
        LineCase{"comment", "# just a comment", true, ""},
        LineCase{"malformed_double", "echo \"open", false,
                 "The command was not correctly formatted"},
        LineCase{"malformed_single", "echo 'open", false,
                 "The command was not correctly formatted"},
        LineCase{"malformed_backslash", "echo a\\", false,
                 "The command was not correctly formatted"},
        LineCase{"unknown", "frobnicate x", false, "frobnicate: command not found"},
        LineCase{"case_matters", "LS", false, "LS: command not found"},
        LineCase{"quoted_command_word", "\"ls\"", true, "a.txt\ndocs/\n"},
        LineCase{"ls_lists_files_first", "ls", true, "a.txt\ndocs/\n"},
        LineCase{"ls_root", "ls /", true, "a.txt\ndocs/\n"},
        LineCase{"ls_dotdot_at_root", "ls ..", true, "a.txt\ndocs/\n"},
        LineCase{"ls_empty_dir", "ls docs", true, ""},
        LineCase{"ls_extra_words_ignored", "ls docs a.txt", true, ""},
        LineCase{"ls_lookup", "ls nothing", false, "nothing: " + kNotFound},
        LineCase{"ls_multi_level", "ls docs/x", false, "docs/x: " + kNotFound},
        LineCase{"ls_not_dir", "ls a.txt", false, "ls: 2: Not a directory"},
        LineCase{"pwd_root", "pwd", true, "/"},
        LineCase{"cd_missing", "cd", false, "cd: missing argument"},
        LineCase{"cd_lookup", "cd /nothing", false,
                 "cd: cannot access '/nothing': nothing: " + kNotFound},
        LineCase{"cd_double_slash", "cd //x", false, "cd: cannot access '//x': /x: " + kNotFound},
        LineCase{"cd_trailing_slash", "cd docs/", false,
                 "cd: cannot access 'docs/': docs/: " + kNotFound},
        LineCase{"cd_not_dir", "cd a.txt", false, "cd: a.txt: Not a directory"},
        LineCase{"cd_newline_is_argument", "cd\nls", false,
                 "cd: cannot access 'ls': ls: " + kNotFound},
        LineCase{"cat_missing", "cat", false, "cat: missing argument"},
        LineCase{"cat_lookup", "cat nope", false, "nope: " + kNotFound},
        LineCase{"cat_dir", "cat docs", false, "cat: docs: Is a directory"},
        LineCase{"cat_root", "cat /", false, "cat: /: Is a directory"},
        LineCase{"cat_empty", "cat a.txt", true, ""},
        LineCase{"mkdir_missing", "mkdir", false, "mkdir: missing argument"},
        LineCase{"mkdir_exists", "mkdir docs", false,
                 "mkdir: cannot create directory 'docs': " + kExists},
        LineCase{"mkdir_parent_lookup", "mkdir x/y/z", false, "x/y: " + kNotFound},
        LineCase{"mkdir_parent_file", "mkdir a.txt/x", false, "mkdir: 2: Not a directory"},
        LineCase{"mkdir_trailing_separator", "mkdir docs/", false,
                 "mkdir: cannot create directory 'docs/': " + kExists},
        LineCase{"mkdir_root", "mkdir /", false, "mkdir: cannot create directory '/': " + kExists},
        LineCase{"touch_missing", "touch", false, "touch: missing argument"},
        LineCase{"touch_exists", "touch a.txt", false,
                 "touch: cannot create file 'a.txt': " + kExists},
        LineCase{"touch_parent_lookup", "touch nope/f", false, "nope: " + kNotFound},
        LineCase{"touch_parent_file", "touch 'a.txt\\f'", false, "touch: 2: Not a directory"},
        LineCase{"echo_none", "echo", true, ""}, LineCase{"echo_words", "echo a b", true, "a b"},
        LineCase{"echo_empty_word", "echo a '' b", true, "a  b"},
        LineCase{"echo_quotes", "echo 'a  b'   \"c\"", true, "a  b c"},
        LineCase{"echo_escaped_blank", "echo a\\ b", true, "a b"},
        LineCase{"echo_double_quote_escapes", "echo \"x\\\"y\\q\"", true, "x\"y\\q"},
        LineCase{"echo_hash", "echo a#b #c", true, "a#b"},
        LineCase{"rm_missing", "rm", false, "rm: missing argument"},
        LineCase{"rm_lookup", "rm nothing", false, "nothing: " + kNotFound},
        LineCase{"rm_lookup_abs", "rm /nothing", false, "nothing: " + kNotFound},
        LineCase{"rm_version", "rm -V", false, "rm: moxtile " MOXTILE_VERSION "\n"},
        LineCase{"rm_help", "rm --help", false, "rm: " + rm_help_text()},
        LineCase{"rm_short_help", "rm -h", false, "rm: " + rm_help_text()},
        LineCase{"rm_file", "rm a.txt", true, ""}, LineCase{"rm_dir", "rm -r docs", true, ""},
        LineCase{"rm_dir_flag_after", "rm docs -r", true, ""},
        LineCase{"rm_empty_dir_without_flag", "rm docs", true, ""}),
    [](const ::testing::TestParamInfo<LineCase>& param) { return std::string(param.param.name); });

TEST_F(TerminalTest, RmParseErrorsArePrefixed) {
  EXPECT_EQ(err("rm -r"),
            "rm: error: the following required arguments were not provided:\n  <TARGET>\n\n"
            "Usage: moxtile --recursive <TARGET>\n\nFor more information, try '--help'.\n");
  EXPECT_EQ(err("rm -x a.txt"),
            "rm: error: unexpected argument '-x' found\n\n  tip: to pass '-x' as a value, use "
            "'-- -x'\n\nUsage: moxtile [OPTIONS] <TARGET>\n\nFor more information, try "
            "'--help'.\n");
  EXPECT_EQ(err("rm -r -r a.txt")
                .rfind("rm: error: the argument '--recursive' cannot be used "
                       "multiple times\n",
                       0),
            0u);
  EXPECT_EQ(out("ls"), "a.txt\ndocs/\n") << "a refused rm removes nothing";
}

TEST_F(TerminalTest, RmNonEmptyDirectoryNeedsTheFlag) {
  ASSERT_EQ(out("touch docs/inner"), "");
  EXPECT_EQ(err("rm docs"), "rm: cannot remove 'docs': " + kNotEmpty);
  EXPECT_EQ(out("ls docs"), "inner\n");
  EXPECT_EQ(out("rm -r docs"), "");
  EXPECT_EQ(out("ls"), "a.txt\n");
}

TEST_F(TerminalTest, RmAfterDoubleDashRemovesOddName) {
  ASSERT_EQ(out("touch -- -odd"), "") << "touch takes its first word literally";
  ASSERT_EQ(out("ls"), "a.txt\n--\ndocs/\n");
  ASSERT_EQ(out("touch ./-odd"), "");
  EXPECT_EQ(out("rm -- -odd"), "");
  EXPECT_EQ(out("rm -- --"), "");
  EXPECT_EQ(out("ls"), "a.txt\ndocs/\n");
}

TEST_F(TerminalTest, FilesHeldOpenAreInUse) {
  IoResult<FileHandle> writer = open_raw(fs_, 2, FileHandleType(FileHandleType::kWrite));
  ASSERT_TRUE(writer.ok());
  EXPECT_EQ(err("cat a.txt"), "cat: cannot access 'a.txt': " + kInUse);
  EXPECT_EQ(err("rm a.txt"), "rm: cannot remove 'a.txt': " + kInUse);
  ASSERT_TRUE(writer->close().ok());

  IoResult<FileHandle> reader = open_raw(fs_, 2, FileHandleType(FileHandleType::kRead));
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(out("cat a.txt"), "") << "readers share the file";
  EXPECT_EQ(err("rm a.txt"), "rm: cannot remove 'a.txt': " + kInUse);
}

TEST_F(TerminalTest, CatReleasesItsReadLock) {
  EXPECT_EQ(out("cat a.txt"), "");
  IoResult<FileHandle> writer = open_raw(fs_, 2, FileHandleType(FileHandleType::kWrite));
  EXPECT_TRUE(writer.ok()) << "cat left the file locked";
}

TEST_F(TerminalTest, CatDecodesContentLossily) {
  const auto write_file = [&](const std::string& bytes) {
    IoResult<FileHandle> h = open_raw(fs_, 2, FileHandleType(FileHandleType::kWrite));
    ASSERT_TRUE(h.ok());
    ASSERT_TRUE(h->write(std::span<const std::uint8_t>(
                             reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
                    .ok());
    ASSERT_TRUE(h->close().ok());
  };
  write_file("hi\n");
  EXPECT_EQ(out("cat a.txt"), "hi\n");
  EXPECT_EQ(out("cat /a.txt"), "hi\n");
  write_file("\xFF\xFE\xC3");
  EXPECT_EQ(out("cat a.txt"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::string big(1000, 'z');
  write_file(big);
  EXPECT_EQ(out("cat a.txt"), big);
}

TEST_F(TerminalTest, CdMovesAndPwdFollows) {
  EXPECT_EQ(out("cd docs"), "");
  EXPECT_EQ(out("pwd"), "/docs");
  EXPECT_EQ(out("ls"), "");
  EXPECT_EQ(out("ls .."), "a.txt\ndocs/\n");
  EXPECT_EQ(out("cd ''"), "") << "an empty word names the current directory";
  EXPECT_EQ(out("pwd"), "/docs");
  EXPECT_EQ(err("cd /nope"), "cd: cannot access '/nope': nope: " + kNotFound);
  EXPECT_EQ(out("pwd"), "/docs") << "a failed cd keeps the directory";
  EXPECT_EQ(out("cd .."), "");
  EXPECT_EQ(out("pwd"), "/");
}

TEST_F(TerminalTest, MkdirAndTouchPickTheirParent) {
  ASSERT_EQ(out("cd docs"), "");
  EXPECT_EQ(out("mkdir /top"), "");
  EXPECT_EQ(out("mkdir sub"), "");
  EXPECT_EQ(out("mkdir sub/x"), "");
  EXPECT_EQ(out("touch 'sub\\f'"), "");
  EXPECT_EQ(out("touch '\\g'"), "") << "a leading backslash means the current directory";
  EXPECT_EQ(out("ls"), "g\nsub/\n");
  EXPECT_EQ(out("ls sub"), "f\nx/\n");
  EXPECT_EQ(out("ls /"), "a.txt\ndocs/\ntop/\n");
  EXPECT_EQ(out("touch /docs/h"), "") << "a parent text with a leading slash starts at the root";
  EXPECT_EQ(out("ls"), "g\nh\nsub/\n");
}

TEST_F(TerminalTest, RemovedCurrentDirectoryIsReportedById) {
  SimpleTerminal other(fs_);
  ASSERT_EQ(out("cd docs"), "");
  ASSERT_EQ(out(other, "rm -r docs"), "");
  EXPECT_EQ(err("pwd"), "pwd: cannot access '1': " + kNotFound);
  EXPECT_EQ(err("ls"), "ls: cannot access '1': " + kNotFound);
  EXPECT_EQ(err("mkdir x"), "mkdir: cannot access '1': " + kNotFound);
  EXPECT_EQ(err("touch x"), "touch: cannot access '1': " + kNotFound);
  EXPECT_EQ(err("cd ."), "cd: cannot access '.': .: " + kNotFound);
  EXPECT_EQ(out("cd /"), "");
  EXPECT_EQ(out("pwd"), "/");
  EXPECT_EQ(out(other, "pwd"), "/") << "terminals keep separate directories";
}

TEST_F(TerminalTest, HelpListsEveryCommandOnce) {
  std::string help = out("help ignored words");
  std::vector<std::string> names;
  for (std::size_t start = 0; start < help.size();) {
    const std::size_t end = help.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "every line ends with a newline";
    names.push_back(help.substr(start, end - start));
    start = end + 1;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"cat", "cd", "echo", "help", "ls", "mkdir", "pwd",
                                             "rm", "touch"}));
  EXPECT_EQ(command_table().size(), 9u);
}

}  // namespace
}  // namespace moxtile
