# Signs one Windows program with Authenticode (osslsigncode, SHA-256, timestamped when a
# time-stamp server is given) and verifies the signature. Run after each link of the program
# when a certificate is configured (cmake/Signing.cmake), and by the signing test.
#
#   cmake -DPROGRAM=<file.exe> -DOSSLSIGNCODE=<path> (-DPKCS12=<file> | -DCERT=<file> -DKEY=<file>)
#         [-DPASSWORD_FILE=<file>] [-DTIMESTAMP_URL=<url>] [-DCAFILE=<file>] -P sign_exe.cmake
#
# The password stays in its file: osslsigncode reads it there (-readpass), so it is on no
# command line that ps shows and in no output. Should signing or the verification fail, the
# program is removed: no unsigned or badly signed file is left where the release is picked
# up, and the next build links and signs it again.
cmake_minimum_required(VERSION 3.25)

set(_signed "${PROGRAM}.signing")
function(fail text)
  file(REMOVE "${_signed}" "${PROGRAM}")
  message(FATAL_ERROR "${text}\n${PROGRAM} was removed.")
endfunction()

foreach(_var PROGRAM OSSLSIGNCODE)
  if(NOT ${_var})
    fail("sign_exe.cmake: ${_var} is not set")
  endif()
endforeach()
if(PKCS12)
  set(_key -pkcs12 "${PKCS12}")
elseif(CERT AND KEY)
  set(_key -certs "${CERT}" -key "${KEY}")
else()
  fail("sign_exe.cmake: neither PKCS12 nor CERT and KEY are set")
endif()
if(PASSWORD_FILE)
  list(APPEND _key -readpass "${PASSWORD_FILE}")
endif()
set(_timestamp "")
if(TIMESTAMP_URL)
  set(_timestamp -ts "${TIMESTAMP_URL}")
endif()
set(_trust "")
if(CAFILE)
  set(_trust -CAfile "${CAFILE}" -TSA-CAfile "${CAFILE}")
endif()

# The description is what the administrator prompt shows as the program's name.
file(REMOVE "${_signed}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign ${_key} -h sha256 -n "Orvane M1 Firmware Updater" ${_timestamp}
          -in "${PROGRAM}" -out "${_signed}"
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(NOT _rc EQUAL 0 OR NOT EXISTS "${_signed}")
  fail("osslsigncode could not sign ${PROGRAM}:\n${_out}")
endif()

# Verify what was signed, not what was meant: the chain up to a trusted root, the digest over
# the whole file, and the timestamp when one was asked for. osslsigncode's exit code alone does
# not say it: a timestamp that fails to verify still ends in "Succeeded" and 0.
execute_process(COMMAND "${OSSLSIGNCODE}" verify ${_trust} -in "${_signed}"
                RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
message("${_out}")
if(NOT _rc EQUAL 0 OR NOT _out MATCHES "Signature verification: ok")
  fail("The signature of ${PROGRAM} does not verify (osslsigncode verify exit code ${_rc})")
endif()
if(NOT _out MATCHES "Message digest algorithm *: SHA256")
  fail("The signature of ${PROGRAM} is not made with SHA-256")
endif()
if(_timestamp AND NOT _out MATCHES "Timestamp Server Signature verification: ok")
  fail("The signature of ${PROGRAM} carries no timestamp that verifies")
endif()
# As the linker left it: executable.
file(CHMOD "${_signed}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                         WORLD_READ WORLD_EXECUTE)
file(RENAME "${_signed}" "${PROGRAM}")
message(STATUS "Signed ${PROGRAM}")
