#include "core/thread.h"

#include <stdio.h>

Thread::Thread(const std::string& name) : name_(name) {}

Thread::~Thread() {}

bool Thread::Start() {
  if (started_)
    return false;
  if (pthread_create(&handle_, nullptr, &Thread::ThreadEntry, this) != 0)
    return false;
  started_ = true;
  char id[32];
  snprintf(id, sizeof(id), "%d", static_cast<int>(handle_));
  full_name_ = name_ + "/" + id;
  return true;
}

void Thread::Join() {
  if (!started_ || joined_)
    return;
  pthread_join(handle_, nullptr);
  joined_ = true;
}

void* Thread::ThreadEntry(void* arg) {
  static_cast<Thread*>(arg)->Run();
  return nullptr;
}
