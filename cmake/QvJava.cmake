# OpenJDK 17: JNI headers for libvellix (every configuration; the headers are the same for 32-bit
# ARM), and on the host javac, java and libjvm for the Java tests and the demo.
set(QV_JDK_HOME "" CACHE PATH "OpenJDK 17 home (found from /usr/lib/jvm or javac when empty)")
if(NOT QV_JDK_HOME)
  file(GLOB qv_jdk_candidates /usr/lib/jvm/java-17-openjdk-*)
  foreach(c ${qv_jdk_candidates})
    if(EXISTS ${c}/include/jni.h AND EXISTS ${c}/bin/javac)
      set(QV_JDK_HOME ${c})
      break()
    endif()
  endforeach()
endif()
if(NOT QV_JDK_HOME)
  find_program(qv_javac_any javac NO_CMAKE_FIND_ROOT_PATH)
  if(qv_javac_any)
    get_filename_component(qv_javac_real ${qv_javac_any} REALPATH)
    get_filename_component(QV_JDK_HOME ${qv_javac_real} DIRECTORY)
    get_filename_component(QV_JDK_HOME ${QV_JDK_HOME} DIRECTORY)
  endif()
endif()
if(NOT EXISTS ${QV_JDK_HOME}/include/jni.h)
  message(FATAL_ERROR "OpenJDK 17 not found (install openjdk-17-jdk-headless or set QV_JDK_HOME)")
endif()

add_library(qv_jni_headers INTERFACE)
target_include_directories(qv_jni_headers SYSTEM INTERFACE ${QV_JDK_HOME}/include
                                                           ${QV_JDK_HOME}/include/linux)

set(QV_JAVAC ${QV_JDK_HOME}/bin/javac)
set(QV_JAVA ${QV_JDK_HOME}/bin/java)
set(QV_LIBJVM ${QV_JDK_HOME}/lib/server/libjvm.so)
# A JVM runs only in the plain host build: not under qemu, and not with an ASan- or
# TSan-instrumented library inside it.
if(NOT CMAKE_CROSSCOMPILING AND NOT QV_SANITIZE AND NOT QV_TSAN AND EXISTS ${QV_LIBJVM})
  set(QV_WITH_JVM ON)
else()
  set(QV_WITH_JVM OFF)
endif()
