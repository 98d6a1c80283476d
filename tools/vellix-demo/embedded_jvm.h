// A Java VM inside a native program through the JNI invocation API, for driving libvellix's
// natives exactly as a Java application's classes do.
#ifndef TOOLS_VELLIX_DEMO_EMBEDDED_JVM_H
#define TOOLS_VELLIX_DEMO_EMBEDDED_JVM_H

#include <jni.h>

#include <string>

namespace vellix_demo {

class EmbeddedJvm {
 public:
  EmbeddedJvm() = default;
  ~EmbeddedJvm();
  EmbeddedJvm(EmbeddedJvm const&) = delete;
  EmbeddedJvm& operator=(EmbeddedJvm const&) = delete;

  // Starts the VM on the calling thread (one per process). False, with error() set, on
  // failure.
  bool Start(std::string const& classPath, std::string const& libraryPath);
  JNIEnv* env() const { return env_; }
  JavaVM* vm() const { return vm_; }
  std::string const& error() const { return error_; }

  // The class, or null (the exception described and cleared).
  jclass Find(char const* name);
  // Calls a static void method with no arguments; false when it is missing or throws.
  bool CallStatic(char const* cls, char const* method);

 private:
  JavaVM* vm_ = nullptr;
  JNIEnv* env_ = nullptr;
  std::string error_;
};

}  // namespace vellix_demo

#endif  // TOOLS_VELLIX_DEMO_EMBEDDED_JVM_H
