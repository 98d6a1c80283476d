#include "embedded_jvm.h"

#include <vector>

namespace vellix_demo {

EmbeddedJvm::~EmbeddedJvm() {
  if (vm_ != nullptr)
    vm_->DestroyJavaVM();
}

bool EmbeddedJvm::Start(std::string const& classPath, std::string const& libraryPath) {
  std::string cp = "-Djava.class.path=" + classPath;
  std::string lp = "-Djava.library.path=" + libraryPath;
  std::vector<JavaVMOption> options(3);
  options[0].optionString = const_cast<char*>(cp.c_str());
  options[1].optionString = const_cast<char*>(lp.c_str());
  options[2].optionString = const_cast<char*>("-Xcheck:jni");
  JavaVMInitArgs args;
  args.version = JNI_VERSION_1_8;
  args.nOptions = static_cast<jint>(options.size());
  args.options = options.data();
  args.ignoreUnrecognized = JNI_FALSE;
  jint rc = JNI_CreateJavaVM(&vm_, reinterpret_cast<void**>(&env_), &args);
  if (rc != JNI_OK) {
    vm_ = nullptr;
    env_ = nullptr;
    error_ = "JNI_CreateJavaVM failed: " + std::to_string(rc);
    return false;
  }
  return true;
}

jclass EmbeddedJvm::Find(char const* name) {
  jclass cls = env_->FindClass(name);
  if (cls == nullptr) {
    env_->ExceptionDescribe();
    env_->ExceptionClear();
    error_ = std::string("class not found: ") + name;
  }
  return cls;
}

bool EmbeddedJvm::CallStatic(char const* name, char const* method) {
  jclass cls = Find(name);
  if (cls == nullptr)
    return false;
  jmethodID m = env_->GetStaticMethodID(cls, method, "()V");
  if (m != nullptr)
    env_->CallStaticVoidMethod(cls, m);
  env_->DeleteLocalRef(cls);
  if (m == nullptr || env_->ExceptionCheck()) {
    env_->ExceptionDescribe();
    env_->ExceptionClear();
    error_ = std::string(name) + "." + method + " failed";
    return false;
  }
  return true;
}

}  // namespace vellix_demo
