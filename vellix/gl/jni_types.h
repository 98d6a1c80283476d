// The JNI types the GL classes name. With a JDK at hand the real header is used; otherwise
// the same incomplete types jni.h declares for C++, so that both spellings stay compatible.
#ifndef VELLIX_GL_JNI_TYPES_H
#define VELLIX_GL_JNI_TYPES_H

#if __has_include(<jni.h>)
#include <jni.h>
#else
struct _JNIEnv;
typedef _JNIEnv JNIEnv;
class _jobject;
typedef _jobject* jobject;
#endif

#endif  // VELLIX_GL_JNI_TYPES_H
