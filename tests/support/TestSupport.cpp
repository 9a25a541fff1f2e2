#include "TestSupport.h"

#include <future>

bool LocksAreFree(std::initializer_list<std::recursive_mutex*> locks) {
  return std::async(std::launch::async, [&locks] {
           bool free = true;
           for (std::recursive_mutex* m : locks) {
             if (m->try_lock())
               m->unlock();
             else
               free = false;
           }
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
