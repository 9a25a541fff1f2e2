#include "TestSupport.h"

#include <future>

bool LocksAreFree(std::initializer_list<LockRef> locks) {
  return std::async(std::launch::async, [&locks] {
           bool free = true;
           for (const LockRef& lock : locks)
             if (!lock.takeAndRelease()) free = false;
           return free;
         }).get();
}

std::vector<std::string> LogMessagesOf(const RecordingUserInterface& ui) {
  std::vector<std::string> out;
  for (const auto& line : ui.LogLines()) {
    const auto colon = line.find(": ");
    out.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
  }
  return out;
}
