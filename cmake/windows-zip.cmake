# Makes the Windows zip the same, byte for byte, from the same sources: its files in a fixed
# order, each with fixed permissions and the time SOURCE_DATE_EPOCH gives, no extra fields (the
# Unix times and owners that zip would add), the DOS times in UTC.
#   cmake -DZIP=zip -DOUT=DIR -DNAME=NAME -DEPOCH=SECONDS -DPROGRAM=EXE -DTEXTS="A|B" -P windows-zip.cmake
if(NOT ZIP)
  message(FATAL_ERROR "zip is not installed (scripts/deps windows installs it)")
endif()
string(REPLACE "|" ";" TEXTS "${TEXTS}")
set(stage ${OUT}/zip-stage)
file(REMOVE_RECURSE ${stage} ${OUT}/${NAME}.zip)
file(MAKE_DIRECTORY ${stage}/${NAME})
file(COPY ${PROGRAM} DESTINATION ${stage}/${NAME}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                      WORLD_EXECUTE)
file(COPY ${TEXTS} DESTINATION ${stage}/${NAME}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
get_filename_component(program_name ${PROGRAM} NAME)
set(members ${NAME}/${program_name})
foreach(text ${TEXTS})
  get_filename_component(text_name ${text} NAME)
  list(APPEND members ${NAME}/${text_name})
endforeach()
execute_process(COMMAND touch -d @${EPOCH} ${members} WORKING_DIRECTORY ${stage}
                RESULT_VARIABLE touched)
if(NOT touched EQUAL 0)
  message(FATAL_ERROR "could not set the files' times")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP} -X -D -q -9 ${OUT}/${NAME}.zip
                        ${members}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE zipped)
if(NOT zipped EQUAL 0)
  message(FATAL_ERROR "zip failed")
endif()
file(REMOVE_RECURSE ${stage})
message(STATUS "${OUT}/${NAME}.zip")
