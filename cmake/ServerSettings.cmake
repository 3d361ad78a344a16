# The servers a build talks to are fixed when it is built. A server operator
# sets these on the cmake command line; tests and the demo override them at run
# time through LauncherConfig instead of rebuilding.
set(QUORREL_PATCH_HOST "patch.quorrel.example" CACHE STRING "SFTP patch server host")
set(QUORREL_PATCH_PORT "22" CACHE STRING "SFTP patch server port")
set(QUORREL_PATCH_ACCOUNT "qpat" CACHE STRING "Patch server account: user name and password (4 ASCII characters)")
set(QUORREL_WEB_URL "https://quorrel.example" CACHE STRING "Launcher distribution server (serves /launcher/...)")
set(QUORREL_LOGON_HOST "logon.quorrel.example" CACHE STRING "Logon host written to the realm list")
set(QUORREL_SITE_URL "https://quorrel.example/" CACHE STRING "The server's web site")
set(QUORREL_COMMUNITY_URL "https://discord.gg/quorrel" CACHE STRING "Invitation page of the chat community")
set(QUORREL_TALENTS_URL "https://quorrel.example/talents" CACHE STRING "Talent calculator page")
set(QUORREL_PROJECT_URL "https://quorrel.example/launcher" CACHE STRING "The launcher's project page")
set(QUORREL_CA_FILE "" CACHE STRING "Extra CA bundle trusted for HTTPS (empty: the system's CAs only)")
set(QUORREL_MIRRORS "" CACHE STRING "Comma-separated https:// base URLs of the mirrors that serve the game files' objects when the manifest names none (empty: none)")
set(QUORREL_HOSTKEY_SHA256 "" CACHE STRING "Comma-separated SHA256:... fingerprints the patch server's host key must match (empty: trust on first use)")
set(QUORREL_VERSION "" CACHE STRING "The launcher's version, as its self-update compares it (empty: the project's version)")
set(QUORREL_UPDATE_PUBKEY "" CACHE STRING "Ed25519 public key (base64 of its 32 bytes) that launcher releases and game-file manifests must be signed with (empty: nothing is signed)")

if(NOT QUORREL_PATCH_PORT MATCHES "^[0-9]+$" OR QUORREL_PATCH_PORT GREATER 65535 OR QUORREL_PATCH_PORT LESS 1)
  message(FATAL_ERROR "QUORREL_PATCH_PORT must be a port number, not '${QUORREL_PATCH_PORT}'")
endif()
string(LENGTH "${QUORREL_PATCH_ACCOUNT}" _quorrel_account_length)
if(NOT _quorrel_account_length EQUAL 4 OR NOT QUORREL_PATCH_ACCOUNT MATCHES "^[!-~]+$")
  message(FATAL_ERROR "QUORREL_PATCH_ACCOUNT must be 4 printable ASCII characters, not '${QUORREL_PATCH_ACCOUNT}'")
endif()

# A key that cannot be one would refuse every update: say so now.
string(LENGTH "${QUORREL_UPDATE_PUBKEY}" _quorrel_pubkey_length)
if(NOT QUORREL_UPDATE_PUBKEY STREQUAL "" AND
   (NOT _quorrel_pubkey_length EQUAL 44 OR NOT QUORREL_UPDATE_PUBKEY MATCHES "^[A-Za-z0-9+/]+=$"))
  message(FATAL_ERROR "QUORREL_UPDATE_PUBKEY must be an Ed25519 public key, the 44 base64 characters that tools/sign-update prints, not '${QUORREL_UPDATE_PUBKEY}'")
endif()

# A mirror is reached over HTTPS only; anything else would be skipped by every launcher.
foreach(_quorrel_mirror IN LISTS QUORREL_MIRRORS)
  string(REPLACE "," ";" _quorrel_mirror_urls "${_quorrel_mirror}")
  foreach(_quorrel_url IN LISTS _quorrel_mirror_urls)
    string(STRIP "${_quorrel_url}" _quorrel_url)
    if(NOT _quorrel_url STREQUAL "" AND NOT _quorrel_url MATCHES "^https://[^ /?#@]+(/[^ ?#]*)?$")
      message(FATAL_ERROR "QUORREL_MIRRORS must name https:// base URLs, not '${_quorrel_url}'")
    endif()
  endforeach()
endforeach()

# The self-update drops the dots and reads a number of at most 9 characters.
set(QUORREL_BUILD_VERSION "${QUORREL_VERSION}")
if(QUORREL_BUILD_VERSION STREQUAL "")
  set(QUORREL_BUILD_VERSION "${PROJECT_VERSION}")
endif()
string(LENGTH "${QUORREL_BUILD_VERSION}" _quorrel_version_length)
if(_quorrel_version_length GREATER 9 OR NOT QUORREL_BUILD_VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "QUORREL_VERSION must be a version such as 1.0.4, not '${QUORREL_VERSION}'")
endif()

set(QUORREL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/launcher/server_settings.h.in
               ${QUORREL_GENERATED_DIR}/server_settings.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/launcher/build_version.h.in
               ${QUORREL_GENERATED_DIR}/build_version.h @ONLY)
