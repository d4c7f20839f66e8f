# Sanitizers apply to the whole build, GoogleTest included, so that the runtime sees every
# allocation and every access.
if(ORVANE_SANITIZE)
  set(_san "-fsanitize=${ORVANE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all")
  string(APPEND CMAKE_C_FLAGS " ${_san}")
  string(APPEND CMAKE_CXX_FLAGS " ${_san}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${_san}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${_san}")
endif()
if(ORVANE_FUZZ)
  # Undefined behaviour stops the run, so that libFuzzer keeps the input as a crash.
  set(_fuzz "-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
  string(APPEND CMAKE_C_FLAGS " ${_fuzz}")
  string(APPEND CMAKE_CXX_FLAGS " ${_fuzz}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -fsanitize=address,undefined")
endif()
