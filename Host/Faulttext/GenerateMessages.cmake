# Writes the message compiler's input for Faulttext.dll from the codes of Sources/Interfaces/KvErrors.h:
# each "#define NAME ((HRESULT)0x8004XXXXL)" becomes one message whose text is the one-line comment
# directly above it. Run as: cmake -DHEADER=<KvErrors.h> -DOUTPUT=<Faulttext.mc> -P GenerateMessages.cmake
#
# Every code of the header must get a text; a code without its comment stops the build, so that
# Faulttext.dll never lacks a text the header promises.

# Lines become list items; a ";" inside a line would split it, so it travels as a placeholder.
file(READ ${HEADER} content)
string(REPLACE ";" "@SEMICOLON@" content "${content}")
string(REPLACE "\r" "" content "${content}")
string(REPLACE "\n" ";" lines "${content}")
set(previous "")
set(codes 0)
set(body "")
foreach(line IN LISTS lines)
  if(line MATCHES "^#define +([A-Z0-9_]+) +\\(\\(HRESULT\\)0x8004([0-9A-Fa-f]+)L\\)")
    set(name ${CMAKE_MATCH_1})
    set(id ${CMAKE_MATCH_2})
    math(EXPR codes "${codes} + 1")
    if(NOT previous MATCHES "^/\\* (.+) \\*/$")
      message(FATAL_ERROR "${HEADER}: ${name} has no one-line comment directly above it")
    endif()
    string(REPLACE "@SEMICOLON@" ";" text "${CMAKE_MATCH_1}")
    # A lone "." ends a message in the compiler's input, and "%" starts an insert.
    if(text MATCHES "%" OR text STREQUAL ".")
      message(FATAL_ERROR "${HEADER}: the text of ${name} must not contain \"%\" or be a lone \".\"")
    endif()
    string(APPEND body "MessageId=0x${id}\nSeverity=CoError\nFacility=Interface\nSymbolicName=${name}\n"
                       "Language=English\n${text}\n.\n\n")
  elseif(line MATCHES "^#define .*HRESULT")
    message(FATAL_ERROR "${HEADER}: cannot read the code of: ${line}")
  endif()
  set(previous "${line}")
endforeach()
if(codes EQUAL 0)
  message(FATAL_ERROR "${HEADER}: no codes found")
endif()

file(WRITE ${OUTPUT}.tmp
     "; Generated from KvErrors.h by GenerateMessages.cmake; edit the header instead.\n"
     "MessageIdTypedef=HRESULT\n"
     "SeverityNames=(Success=0x0 CoError=0x2)\n"
     "FacilityNames=(Interface=0x4)\n"
     "LanguageNames=(English=0x409:MSG00409)\n\n"
     "${body}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
