# Turns the product-code file into the compiled-in table. Fails, naming file and line, for a line
# that is not a braced GUID, a code too long for its slot, more codes than slots, or OWN_CODE
# (upper case), the product code of the tool's own package.
# fenwrack-sim/product_codes.cc reads these files for fenwrack-sim, with the same rules and messages.
cmake_policy(SET CMP0007 NEW)  # keep empty lines, so line numbers stay right
set(slots 96)
set(slot_size 80)

if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "${INPUT}: product-code file not found")
elseif(IS_DIRECTORY "${INPUT}")
  message(FATAL_ERROR "${INPUT}: a directory, not a product-code file")
endif()
file(READ "${INPUT}" raw)
string(REPLACE "\r" "" raw "${raw}")
string(REPLACE ";" "\\;" raw "${raw}")
string(REPLACE "\n" ";" lines "${raw}")

set(codes "")
set(count 0)
set(number 0)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  string(STRIP "${line}" code)
  if(code STREQUAL "" OR code MATCHES "^#")
    continue()
  endif()
  string(LENGTH "${code}" length)
  math(EXPR limit "${slot_size} - 1")
  if(length GREATER limit)
    message(FATAL_ERROR "${INPUT}:${number}: product code is ${length} characters long; a slot holds at most ${limit}")
  endif()
  set(h "[0-9A-Fa-f]")
  set(h4 "${h}${h}${h}${h}")
  if(NOT code MATCHES "^[{]${h4}${h4}-${h4}-${h4}-${h4}-${h4}${h4}${h4}[}]$")
    message(FATAL_ERROR "${INPUT}:${number}: not a braced GUID such as {01234567-89AB-CDEF-0123-456789ABCDEF}: '${code}'")
  endif()
  string(TOUPPER "${code}" upper)
  if(DEFINED OWN_CODE AND upper STREQUAL OWN_CODE)
    message(FATAL_ERROR "${INPUT}:${number}: ${code} is this tool's own package: /deinstall would remove the tool that runs it")
  endif()
  math(EXPR count "${count} + 1")
  if(count GREATER slots)
    message(FATAL_ERROR "${INPUT}:${number}: more than ${slots} product codes; the table has ${slots} slots")
  endif()
  string(APPEND codes "    \"${code}\",\n")
endforeach()

# In the simulator the table is storage that a run can fill (fenwrack-sim --product-codes), under
# the same name.
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; edit that file, not this one.\n"
  "#include \"removal/product_code_table.h\"\n\n"
  "#ifndef FENWRACK_SIMULATOR\n"
  "const char ProductCodeTable[kProductCodeSlots][kProductCodeSlotSize] = {\n${codes}};\n"
  "#else\n"
  "char SimulatedProductCodes[kProductCodeSlots][kProductCodeSlotSize] = {\n${codes}};\n"
  "extern const char ProductCodeTable[kProductCodeSlots][kProductCodeSlotSize]\n"
  "    __attribute__((alias(\"SimulatedProductCodes\")));\n"
  "#endif\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
