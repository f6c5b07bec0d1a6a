// Several terminals, one per thread, over ONE filesystem, running random
// command lines for a while. Meant for ThreadSanitizer: the terminals share
// nothing but the filesystem and the command table.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_system.h"
#include "terminal/simple_terminal.h"

namespace moxtile {
namespace {

constexpr int kThreads = 4;
constexpr auto kDuration = std::chrono::milliseconds(2000);

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Checks one answer against what its command may say; returns a complaint or "".
std::string check(const std::string& verb, const std::string& expected_echo,
                  const TermResult<std::string>& r) {
  if (r.ok()) {
    const std::string& out = r.value();
    if (verb == "pwd" && !starts_with(out, "/")) return "pwd gave " + out;
    if (verb == "ls" && !out.empty() && out.back() != '\n') return "ls line without newline";
    if ((verb == "mkdir" || verb == "touch" || verb == "rm" || verb == "cd") && !out.empty()) {
      return verb + " printed " + out;
    }
    if (verb == "echo" && out != expected_echo) return "echo gave " + out;
    return "";
  }
  // Failures are the command's own texts or a lookup text "<name>: <message>".
  const std::string& e = r.error();
  if (e.empty() || e.find(": ") == std::string::npos) return "odd error: " + e;
  return "";
}

// A line for a random command; `echo_output` is what echo must answer to it.
std::string random_line(std::mt19937& rng, std::string& verb, std::string& echo_output) {
  static const char* const kVerbs[] = {"mkdir", "touch", "cd", "cd",  "ls",
                                       "cat",   "rm -r", "rm", "pwd", "echo"};
  const std::string name = std::to_string(rng() % 6);
  verb = kVerbs[rng() % std::size(kVerbs)];
  switch (rng() % 4) {
    case 0:
      echo_output = "d" + name;
      return verb + " d" + name;
    case 1:
      echo_output = "f" + name;
      return verb + " f" + name;
    case 2:
      echo_output = "/d" + name;
      return verb + (verb == "cd" ? " .." : " /d" + name);
    default:
      echo_output = "a b  c";
      return verb == "echo" ? "echo a 'b  c'" : verb + " d" + name + "/x";
  }
}

TEST(TerminalStress, ManyTerminalsOneFileSystem) {
  std::shared_ptr<FileSystem> fs = FileSystem::create();
  std::atomic<bool> stop{false};
  std::atomic<long> commands{0};
  std::atomic<long> successes{0};
  std::vector<std::string> complaints(kThreads);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SimpleTerminal term(fs);
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1u);
      while (!stop.load(std::memory_order_relaxed)) {
        std::string verb;
        std::string echo_output;
        const std::string line = random_line(rng, verb, echo_output);
        if (verb == "rm -r") verb = "rm";
        const TermResult<std::string> r = term.run(line);
        commands.fetch_add(1, std::memory_order_relaxed);
        if (r.ok()) successes.fetch_add(1, std::memory_order_relaxed);
        const std::string complaint = check(verb, echo_output, r);
        if (!complaint.empty() && complaints[t].empty()) complaints[t] = line + " -> " + complaint;
      }
    });
  }
  std::this_thread::sleep_for(kDuration);
  stop = true;
  for (std::thread& thread : threads) thread.join();

  for (const std::string& complaint : complaints) EXPECT_EQ(complaint, "");
  EXPECT_GT(successes.load(), 0);
  EXPECT_LT(successes.load(), commands.load());

  // The tree must still be whole: every directory reachable from the root
  // lists, and a recursive removal of everything leaves an empty root.
  SimpleTerminal term(fs);
  TermResult<std::string> top = term.run("ls /");
  ASSERT_TRUE(top.ok()) << top.error();
  std::string entries = top.value();
  for (std::size_t start = 0; start < entries.size();) {
    const std::size_t end = entries.find('\n', start);
    std::string name = entries.substr(start, end - start);
    start = end + 1;
    if (!name.empty() && name.back() == '/') name.pop_back();
    const TermResult<std::string> removed = term.run("rm -r " + name);
    EXPECT_TRUE(removed.ok()) << name << ": " << removed.error();
  }
  const TermResult<std::string> after = term.run("ls /");
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after.value(), "");
  std::printf("%ld commands, %ld succeeded\n", commands.load(), successes.load());
}

}  // namespace
}  // namespace moxtile
