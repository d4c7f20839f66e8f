# Authenticode signing of the Windows program, for whoever holds the company's code-signing
# certificate. Nothing of the certificate is in the repository or written into the build
# tree: these cache variables name the files (absolute paths) where the releaser keeps them,
# and each one left empty takes the environment variable of the same name at configure time.
#
#   ORVANE_SIGN_PKCS12         the certificate chain and its key in one PKCS#12 file, or
#   ORVANE_SIGN_CERT           the certificate chain (PEM or DER) and
#   ORVANE_SIGN_KEY            its private key (PEM or DER)
#   ORVANE_SIGN_PASSWORD_FILE  a file holding the password of the key or PKCS#12 file
#   ORVANE_SIGN_TIMESTAMP_URL  the issuer's RFC 3161 time-stamp server; "none" signs without
#                              a timestamp, for trials only: such a signature stops
#                              validating when the certificate expires
#   ORVANE_SIGN_CAFILE         the trusted roots the signature and its timestamp are verified
#                              against (default: osslsigncode's, the system's CA bundle)
#
# Without a certificate the program is built unsigned. With one, every link of the program is
# followed by cmake/sign_exe.cmake, which signs it (SHA-256, timestamped), verifies the
# signature and fails the build, leaving no program, if either fails.
set(_sign_help_PKCS12 "PKCS#12 file with the code-signing certificate chain and key")
set(_sign_help_CERT "Code-signing certificate chain, PEM or DER (with ORVANE_SIGN_KEY)")
set(_sign_help_KEY "Private key of ORVANE_SIGN_CERT, PEM or DER")
set(_sign_help_PASSWORD_FILE "File holding the password of the key or PKCS#12 file")
set(_sign_help_TIMESTAMP_URL "RFC 3161 time-stamp server for the signature; none: no timestamp")
set(_sign_help_CAFILE "Trusted roots to verify the signature and timestamp against; empty: the system's")
foreach(_name PKCS12 CERT KEY PASSWORD_FILE TIMESTAMP_URL CAFILE)
  set(ORVANE_SIGN_${_name} "" CACHE STRING "${_sign_help_${_name}}")
  if(ORVANE_SIGN_${_name} STREQUAL "" AND NOT "$ENV{ORVANE_SIGN_${_name}}" STREQUAL "")
    set(ORVANE_SIGN_${_name} "$ENV{ORVANE_SIGN_${_name}}")
  endif()
endforeach()

set(ORVANE_SIGNING OFF)
if(ORVANE_SIGN_PKCS12 OR ORVANE_SIGN_CERT OR ORVANE_SIGN_KEY)
  if(ORVANE_SIGN_PKCS12 AND (ORVANE_SIGN_CERT OR ORVANE_SIGN_KEY))
    message(FATAL_ERROR "Signing: give either ORVANE_SIGN_PKCS12 or ORVANE_SIGN_CERT with ORVANE_SIGN_KEY")
  endif()
  if(NOT ORVANE_SIGN_PKCS12 AND NOT (ORVANE_SIGN_CERT AND ORVANE_SIGN_KEY))
    message(FATAL_ERROR "Signing: ORVANE_SIGN_CERT and ORVANE_SIGN_KEY go together")
  endif()
  foreach(_name PKCS12 CERT KEY PASSWORD_FILE CAFILE)
    if(ORVANE_SIGN_${_name} AND NOT (IS_ABSOLUTE "${ORVANE_SIGN_${_name}}" AND EXISTS "${ORVANE_SIGN_${_name}}"))
      message(FATAL_ERROR "Signing: ORVANE_SIGN_${_name} must name an existing file by its absolute path, "
                          "not ${ORVANE_SIGN_${_name}}")
    endif()
  endforeach()
  if(NOT ORVANE_SIGN_TIMESTAMP_URL)
    message(FATAL_ERROR "Signing: set ORVANE_SIGN_TIMESTAMP_URL to your certificate issuer's time-stamp "
                        "server: without a timestamp the signature stops validating when the certificate "
                        "expires (\"none\" signs without one, for trials)")
  endif()
  find_program(ORVANE_OSSLSIGNCODE osslsigncode)
  if(NOT ORVANE_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing: osslsigncode is not installed (Debian: osslsigncode)")
  endif()
  set(ORVANE_SIGNING ON)
  message(STATUS "Signing the Windows program with ${ORVANE_SIGN_PKCS12}${ORVANE_SIGN_CERT}")
endif()

# orvane_sign_program(<target>): signs the target's file after each link, when a certificate
# is configured. The command line carries file names only; osslsigncode reads the password
# from its file itself.
function(orvane_sign_program target)
  if(NOT ORVANE_SIGNING)
    return()
  endif()
  set(_timestamp "${ORVANE_SIGN_TIMESTAMP_URL}")
  if(_timestamp STREQUAL "none")
    set(_timestamp "")
  endif()
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DOSSLSIGNCODE=${ORVANE_OSSLSIGNCODE}
            -DPKCS12=${ORVANE_SIGN_PKCS12} -DCERT=${ORVANE_SIGN_CERT} -DKEY=${ORVANE_SIGN_KEY}
            -DPASSWORD_FILE=${ORVANE_SIGN_PASSWORD_FILE} -DTIMESTAMP_URL=${_timestamp}
            -DCAFILE=${ORVANE_SIGN_CAFILE} -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/sign_exe.cmake
    COMMENT "Signing and verifying $<TARGET_FILE_NAME:${target}>"
    VERBATIM)
endfunction()
