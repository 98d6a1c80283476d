#include "jni/vellix_callback.h"

#include <android/log.h>

namespace kestrin {

namespace {

void LogError(char const* text) {
  __android_log_print(ANDROID_LOG_ERROR, nullptr, "%s", text);
}

}  // namespace

CVellixCallback::CVellixCallback()
    : env(nullptr), javaClass(nullptr), method(nullptr), vm_(nullptr) {}

CVellixCallback::~CVellixCallback() {
  LogError("CVellixCallback(+)");
  if (env != nullptr) {
    if (javaClass != nullptr) {
      LogError("DeleteGlobalRef(javaclass) (+)");
      // Through the environment of the thread that runs now; the remembered one may belong to
      // another thread.
      JNIEnv* current = nullptr;
      if (vm_ != nullptr &&
          vm_->GetEnv(reinterpret_cast<void**>(&current), JNI_VERSION_1_6) == JNI_OK)
        current->DeleteGlobalRef(javaClass);
      javaClass = nullptr;
      LogError("DeleteGlobalRef(javaclass) (-)");
    }
  }
  LogError("CVellixCallback(-)");
}

bool CVellixCallback::Init(JNIEnv* env_, jobject thiz) {
  LogError("CVellixCallback::Init(+)");
  env = env_;
  if (env == nullptr || env->GetJavaVM(&vm_) != JNI_OK)
    vm_ = nullptr;
  jclass cls = nullptr;
  if (env != nullptr && thiz != nullptr) {
    // Static natives receive the class itself; its own class would be java.lang.Class.
    jclass classClass = env->FindClass("java/lang/Class");
    if (classClass != nullptr && env->IsInstanceOf(thiz, classClass))
      cls = static_cast<jclass>(env->NewLocalRef(thiz));
    else
      cls = env->GetObjectClass(thiz);
    if (env->ExceptionCheck())
      env->ExceptionClear();
    if (classClass != nullptr)
      env->DeleteLocalRef(classClass);
  }
  if (cls != nullptr) {
    javaClass = static_cast<jclass>(env->NewGlobalRef(cls));
    env->DeleteLocalRef(cls);
  }
  if (javaClass == nullptr) {
    LogError("callback_handler: failed to get class reference");
    return false;
  }
  // Looked up once, here, so that a class without the method (a shrinker removed it) is an
  // error of the initialisation, not a log line at the first turn.
  method = env->GetStaticMethodID(javaClass, "animation_end_callback", "()V");
  if (method == nullptr) {
    if (env->ExceptionCheck())
      env->ExceptionClear();
    LogError("callback_handler: failed to get method ID");
    return false;
  }
  LogError("CVellixCallback::Init(-)");
  return true;
}

void CVellixCallback::OnAnimationEnd() {
  // The Java method may end the engine and delete this object: only locals after the call.
  JavaVM* vm = vm_;
  jclass cls = javaClass;
  if (vm == nullptr)
    return;
  JNIEnv* e = nullptr;
  bool attached = false;
  if (vm->GetEnv(reinterpret_cast<void**>(&e), JNI_VERSION_1_6) != JNI_OK) {
    LogError("callback_handler: failed to get JNI environment, assuming native thread");
    if (vm->AttachCurrentThread(reinterpret_cast<void**>(&e), nullptr) != JNI_OK) {
      LogError("callback_handler: failed to attach current thread");
      return;
    }
    attached = true;
  }
  jmethodID m = method;
  if (cls == nullptr || m == nullptr) {
    LogError("callback_handler: failed to get method ID");
  } else {
    e->CallStaticVoidMethod(cls, m);
    // On a Java thread the callback's own exception reaches its caller; a thread attached
    // here has no caller to take it.
    bool thrown = e->ExceptionCheck();
    if (attached && thrown) {
      e->ExceptionDescribe();
      e->ExceptionClear();
    }
  }
  if (attached)
    vm->DetachCurrentThread();
}

}  // namespace kestrin
