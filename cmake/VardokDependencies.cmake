# Third-party code: PCRE, mbed TLS (the test hosts' HTTPS pages only),
# SQLite (the hosts' history),
# Boost's headers and GoogleTest, all from Debian.
include(ExternalProject)

set(VARDOK_DEPS_DIR "/opt/vardok-deps" CACHE PATH "Where scripts/setup.sh keeps source packages")

if(WIN32)
  # PCRE 8.39 from Debian's pcre3 source package, cross-built as a static library.
  set(_pcre_prefix ${CMAKE_BINARY_DIR}/pcre)
  ExternalProject_Add(pcre_build
    SOURCE_DIR ${VARDOK_DEPS_DIR}/pcre3
    INSTALL_DIR ${_pcre_prefix}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
      -DBUILD_SHARED_LIBS=OFF
      -DPCRE_BUILD_PCRE8=ON -DPCRE_BUILD_PCRE16=OFF -DPCRE_BUILD_PCRE32=OFF
      -DPCRE_BUILD_PCRECPP=OFF -DPCRE_BUILD_PCREGREP=OFF -DPCRE_BUILD_TESTS=OFF
      -DPCRE_SUPPORT_JIT=OFF -DPCRE_SUPPORT_UTF=ON -DPCRE_NEWLINE=LF
      -DPCRE_MATCH_LIMIT=10000000
      -DPCRE_SUPPORT_LIBBZ2=OFF -DPCRE_SUPPORT_LIBZ=OFF
      -DPCRE_SUPPORT_LIBREADLINE=OFF -DPCRE_SUPPORT_LIBEDIT=OFF
      -DPCRE_SHOW_REPORT=OFF
    BUILD_BYPRODUCTS ${_pcre_prefix}/lib/libpcre.a
    UPDATE_COMMAND "" UPDATE_DISCONNECTED ON
  )
  file(MAKE_DIRECTORY ${_pcre_prefix}/include)
  add_library(pcre STATIC IMPORTED GLOBAL)
  set_target_properties(pcre PROPERTIES
    IMPORTED_LOCATION ${_pcre_prefix}/lib/libpcre.a
    INTERFACE_INCLUDE_DIRECTORIES ${_pcre_prefix}/include
    INTERFACE_COMPILE_DEFINITIONS PCRE_STATIC)
  add_dependencies(pcre pcre_build)

  # mbed TLS 2.28 from Debian's source package, for the HTTPS side of the
  # hosts' loopback server. The plug-in never links it.
  set(_mbedtls_prefix ${CMAKE_BINARY_DIR}/mbedtls)
  ExternalProject_Add(mbedtls_build
    SOURCE_DIR ${VARDOK_DEPS_DIR}/mbedtls
    INSTALL_DIR ${_mbedtls_prefix}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
      -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF
      -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON
      -DMBEDTLS_FATAL_WARNINGS=OFF
    BUILD_BYPRODUCTS
      ${_mbedtls_prefix}/lib/libmbedtls.a ${_mbedtls_prefix}/lib/libmbedx509.a ${_mbedtls_prefix}/lib/libmbedcrypto.a
    UPDATE_COMMAND "" UPDATE_DISCONNECTED ON
  )
  file(MAKE_DIRECTORY ${_mbedtls_prefix}/include)
  foreach(_part mbedtls mbedx509 mbedcrypto)
    add_library(${_part} STATIC IMPORTED GLOBAL)
    set_target_properties(${_part} PROPERTIES
      IMPORTED_LOCATION ${_mbedtls_prefix}/lib/lib${_part}.a
      INTERFACE_INCLUDE_DIRECTORIES ${_mbedtls_prefix}/include)
    add_dependencies(${_part} mbedtls_build)
  endforeach()
  set_property(TARGET mbedtls APPEND PROPERTY INTERFACE_LINK_LIBRARIES mbedx509)
  set_property(TARGET mbedx509 APPEND PROPERTY INTERFACE_LINK_LIBRARIES mbedcrypto)
  set_property(TARGET mbedcrypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES advapi32 bcrypt)

  # A header-only library of the host's /usr/include for the cross
  # compiler: only its own folder is shown, never /usr/include as a whole.
  function(vardok_host_headers target folder)
    set(_include ${CMAKE_BINARY_DIR}/${target}-include)
    file(MAKE_DIRECTORY ${_include})
    if(NOT EXISTS ${_include}/${folder})
      file(CREATE_LINK /usr/include/${folder} ${_include}/${folder} SYMBOLIC)
    endif()
    add_library(${target} INTERFACE)
    target_include_directories(${target} SYSTEM INTERFACE ${_include})
  endfunction()
  vardok_host_headers(boost_headers boost)
  # nlohmann-json for vardok-check's json command.
  vardok_host_headers(json_headers nlohmann)

  # Static, and without a link time in the PE header, so that the same
  # sources give the same binaries.
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -static -Wl,--no-insert-timestamp")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " -static -Wl,--no-insert-timestamp")
else()
  find_path(PCRE_INCLUDE_DIR pcre.h REQUIRED)
  find_library(PCRE_LIBRARY pcre REQUIRED)
  add_library(pcre INTERFACE)
  target_include_directories(pcre INTERFACE ${PCRE_INCLUDE_DIR})
  target_link_libraries(pcre INTERFACE ${PCRE_LIBRARY})

  add_library(boost_headers INTERFACE)
  # nlohmann-json from /usr/include.
  add_library(json_headers INTERFACE)

  option(VARDOK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
  if(VARDOK_SANITIZE)
    set(_sanitize -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_compile_options(${_sanitize})
    add_link_options(${_sanitize})
  endif()
  if(VARDOK_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # Coverage for the fuzzers in every module they reach.
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()

# SQLite 3.40 from Debian's sqlite3 source package, for the hosts'
# history store (in both builds): its single-file form, which scripts/setup.sh makes from
# the source tree, compiled here as a static library. The plug-in never
# links it.
set(_sqlite ${VARDOK_DEPS_DIR}/sqlite3-amalgamation)
add_library(sqlite3 STATIC ${_sqlite}/sqlite3.c)
target_include_directories(sqlite3 SYSTEM PUBLIC ${_sqlite})
target_compile_definitions(sqlite3 PRIVATE
  SQLITE_THREADSAFE=1 SQLITE_DQS=0 SQLITE_DEFAULT_MEMSTATUS=0 SQLITE_DEFAULT_WAL_SYNCHRONOUS=1
  SQLITE_OMIT_LOAD_EXTENSION SQLITE_OMIT_DEPRECATED SQLITE_OMIT_SHARED_CACHE SQLITE_LIKE_DOESNT_MATCH_BLOBS)
target_compile_options(sqlite3 PRIVATE -O2 -w)
if(NOT WIN32)
  # Third-party code, tested by its makers: not under our sanitizers.
  target_compile_options(sqlite3 PRIVATE -fno-sanitize=all)
endif()
find_package(Threads REQUIRED)
target_link_libraries(sqlite3 PUBLIC Threads::Threads ${CMAKE_DL_LIBS})

# GoogleTest from the sources that Debian's googletest package ships.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)
