// The EGL side of a graphic buffer. On Android an image is made from the buffer itself
// (EGL_NATIVE_BUFFER_ANDROID) and the GPU samples its memory. Mesa has no such buffers, so on
// the host the image lives on a GL texture (EGL_KHR_gl_texture_2D_image) and takes the
// buffer's pixels when it is bound after an unlock. Call on the thread whose context is
// current.
#ifndef PORT_GRALLOC_EGL_IMAGE_H
#define PORT_GRALLOC_EGL_IMAGE_H

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>

struct ANativeWindowBuffer;

namespace gralloc {

// EGL_NO_IMAGE_KHR when the extensions are missing or no context is current.
EGLImageKHR CreateImage(EGLDisplay display, ANativeWindowBuffer* buffer, EGLint const* attribs);
EGLBoolean DestroyImage(EGLDisplay display, EGLImageKHR image);
// glEGLImageTargetTexture2DOES for the bound texture, bringing the image up to date first.
void ImageTargetTexture2D(GLenum target, EGLImageKHR image);

}  // namespace gralloc

#endif  // PORT_GRALLOC_EGL_IMAGE_H
