# Signs the RPM with the releaser's GPG key (rpmsign --addsign) and verifies the signature
# against that key alone. Run by CPack after it has made the packages, when a key is
# configured (CPACK_POST_BUILD_SCRIPTS, see cmake/Packaging.cmake), and by the package check:
#
#   cmake -DRPM=<file.rpm> -DKEY=<key id or user id> [-DGNUPGHOME=<dir>]
#         [-DPASSPHRASE_FILE=<file>] [-DGPG=<gpg>] -P sign_rpm.cmake
#
# The passphrase stays in its file: gpg reads it there (--passphrase-file, in loopback mode),
# so only the file's name is on the command lines that ps shows, and nothing of it is in the
# output. Should signing or the verification fail, the RPM is removed, and after CPack also
# the copy in the build folder: no unsigned or badly signed package is left to be published.
cmake_minimum_required(VERSION 3.25)

if(DEFINED CPACK_PACKAGE_FILES)
  # CPack runs this for each of its generators, on the packages in its staging folder, and then
  # copies them into the build folder.
  set(KEY "${CPACK_ORVANE_RPM_SIGN_KEY}")
  set(GNUPGHOME "${CPACK_ORVANE_RPM_SIGN_GNUPGHOME}")
  set(PASSPHRASE_FILE "${CPACK_ORVANE_RPM_SIGN_PASSPHRASE_FILE}")
  set(GPG "${CPACK_ORVANE_GPG}")
  set(_rpms ${CPACK_PACKAGE_FILES})
  list(FILTER _rpms INCLUDE REGEX "\\.rpm$")
else()
  set(_rpms "${RPM}")
endif()
if(NOT GPG)
  find_program(GPG NAMES gpg gpg2)
endif()
find_program(_rpmsign rpmsign)
find_program(_rpmkeys rpmkeys)
if(GNUPGHOME)
  set(ENV{GNUPGHOME} "${GNUPGHOME}")
endif()

function(fail rpm text)
  file(REMOVE_RECURSE "${rpm}" "${rpm}.keys")
  if(CPACK_PACKAGE_DIRECTORY AND rpm)
    get_filename_component(_name "${rpm}" NAME)
    file(REMOVE "${CPACK_PACKAGE_DIRECTORY}/${_name}")
  endif()
  message(FATAL_ERROR "${text}\n${rpm} was removed.")
endfunction()

foreach(_rpm IN LISTS _rpms)
  if(NOT _rpm OR NOT EXISTS "${_rpm}" OR NOT KEY OR NOT GPG OR NOT _rpmsign OR NOT _rpmkeys)
    fail("${_rpm}" "sign_rpm.cmake: needs RPM (${_rpm}), KEY (${KEY}), gpg (${GPG}), rpmsign and rpmkeys")
  endif()
  # Batch mode: a key whose passphrase neither the file nor gpg-agent gives fails, not waits.
  set(_gpg_args "--batch")
  if(PASSPHRASE_FILE)
    string(APPEND _gpg_args " --pinentry-mode loopback --passphrase-file %{shescape:${PASSPHRASE_FILE}}")
  endif()
  execute_process(
    COMMAND "${_rpmsign}" --addsign --define "__gpg ${GPG}" --define "_gpg_name ${KEY}"
            --define "_gpg_sign_cmd_extra_args ${_gpg_args}" "${_rpm}"
    RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc EQUAL 0)
    fail("${_rpm}" "rpmsign could not sign ${_rpm} with the key ${KEY}:\n${_out}")
  endif()

  # Verified as a user verifies it once the company's key is imported, against a database of
  # rpm's own that holds this key only. "digests OK" without "signatures" is what rpm says of
  # an unsigned package, with exit code 0.
  file(REMOVE_RECURSE "${_rpm}.keys")
  file(MAKE_DIRECTORY "${_rpm}.keys/db")
  execute_process(COMMAND "${GPG}" --batch --armor --export "${KEY}" OUTPUT_FILE "${_rpm}.keys/key.asc"
                  RESULT_VARIABLE _rc ERROR_VARIABLE _out)
  file(SIZE "${_rpm}.keys/key.asc" _size)
  if(NOT _rc EQUAL 0 OR _size EQUAL 0)
    fail("${_rpm}" "gpg has no public key ${KEY} to verify the signature against:\n${_out}")
  endif()
  execute_process(COMMAND "${_rpmkeys}" --dbpath "${_rpm}.keys/db" --import "${_rpm}.keys/key.asc"
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc EQUAL 0)
    fail("${_rpm}" "rpmkeys could not import the public key ${KEY}:\n${_out}")
  endif()
  execute_process(COMMAND "${_rpmkeys}" --dbpath "${_rpm}.keys/db" --checksig --verbose "${_rpm}"
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  message("${_out}")
  if(NOT _rc EQUAL 0 OR NOT _out MATCHES "Signature, key ID [0-9a-f]+: OK")
    fail("${_rpm}" "The signature of ${_rpm} does not verify against the key ${KEY}")
  endif()
  file(REMOVE_RECURSE "${_rpm}.keys")
  message(STATUS "Signed ${_rpm} with ${KEY}")
endforeach()
