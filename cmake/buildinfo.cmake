# Build information fixed at configure time and compiled into the daemon's version report.
set(ORREL_BUILD_VERSION "${PROJECT_VERSION}")
set(ORREL_BUILD_REPOSITORY "")
set(ORREL_BUILD_CHANGESET "")
set(ORREL_BUILD_LAST_CHANGED "")
set(ORREL_BUILD_AUTHOR "")

find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git")
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE ORREL_BUILD_CHANGESET
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(ORREL_BUILD_CHANGESET)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%cd --date=iso
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE ORREL_BUILD_LAST_CHANGED
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%an
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE ORREL_BUILD_AUTHOR
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} config --get remote.origin.url
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE ORREL_BUILD_REPOSITORY
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(NOT ORREL_BUILD_REPOSITORY)
  set(ORREL_BUILD_REPOSITORY "${CMAKE_SOURCE_DIR}")
endif()

string(TIMESTAMP ORREL_BUILD_DATE "%Y-%m-%d %H:%M:%S UTC" UTC)
cmake_host_system_information(RESULT ORREL_BUILD_HOST QUERY HOSTNAME)
if(DEFINED ENV{USER})
  set(ORREL_BUILD_USER "$ENV{USER}")
else()
  execute_process(COMMAND id -un OUTPUT_VARIABLE ORREL_BUILD_USER
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

configure_file(${CMAKE_SOURCE_DIR}/src/buildinfo.h.in ${CMAKE_BINARY_DIR}/generated/buildinfo.h @ONLY)
