// Calls the Java class's static animation_end_callback() when a page animation ends.
#ifndef VELLIX_JNI_VELLIX_CALLBACK_H
#define VELLIX_JNI_VELLIX_CALLBACK_H

#include <jni.h>

namespace kestrin {

class CVellixCallback {
 public:
  CVellixCallback();
  virtual ~CVellixCallback();
  CVellixCallback(CVellixCallback const&) = delete;
  CVellixCallback& operator=(CVellixCallback const&) = delete;

  // Remembers the class of `thiz` (or `thiz` itself when the natives are static and it is the
  // class) and looks up its static animation_end_callback() once. False when no class
  // reference could be made or the method is missing (logged; no exception left pending).
  bool Init(JNIEnv* env, jobject thiz);
  // On any thread: attaches a thread that has no Java environment for the call only.
  void OnAnimationEnd();

  JNIEnv* env;
  jclass javaClass;
  // animation_end_callback()V of javaClass, null when it is missing.
  jmethodID method;

 private:
  JavaVM* vm_;
};

}  // namespace kestrin

#endif  // VELLIX_JNI_VELLIX_CALLBACK_H
