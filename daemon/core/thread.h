#ifndef DAEMON_CORE_THREAD_H
#define DAEMON_CORE_THREAD_H

#include <pthread.h>

#include <string>

// Base of the daemon's thread-shaped objects: Start runs Run on a new POSIX thread.
class Thread {
 public:
  explicit Thread(const std::string& name);
  virtual ~Thread();

  // Returns true when the thread was created.
  virtual bool Start();
  // Waits for the thread; does nothing when it was never started or is already joined.
  virtual void Join();
  virtual void Run() = 0;

  const std::string& name() const { return name_; }
  const std::string& full_name() const { return full_name_; }
  bool started() const { return started_; }
  bool joined() const { return joined_; }

 private:
  static void* ThreadEntry(void* arg);

  std::string name_;
  std::string full_name_;
  bool joined_ = false;
  bool started_ = false;
  pthread_t handle_{};
};

#endif  // DAEMON_CORE_THREAD_H
