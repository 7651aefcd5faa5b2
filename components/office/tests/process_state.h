// What the office tests look at in this process: its threads by name (what
// each one set, 15 characters at most: the UNO bridge's are
// "binaryurpReader" and "binaryurpWriter", the workers that run the office's
// calls into this process "cppu_threadpool"), and waiting for a condition.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace office::testing {

// Polls `condition` until it holds (true) or `limit` has passed (false).
template <class Condition>
bool waitFor(Condition condition, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline std::vector<std::string> threadNames() {
  std::vector<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  return names;
}

inline std::vector<std::string> unoThreads() {
  std::vector<std::string> uno;
  for (const auto& n : threadNames())
    if (n.rfind("binaryurp", 0) == 0 || n.rfind("cppu_threadpool", 0) == 0) uno.push_back(n);
  return uno;
}

}  // namespace office::testing
