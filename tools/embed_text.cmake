# Turns a text file (a page's script or style sheet) into a C++ source that holds it as a string,
# so that the programs write self-contained pages without looking for files at run time.
#   velk_embed_text(target namespace symbol file)
function(velk_embed_text target namespace symbol file)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${symbol}.cpp)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${file} -DOUTPUT=${output} -DNAMESPACE=${namespace}
      -DSYMBOL=${symbol} -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/embed_text_file.cmake
    DEPENDS ${file} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/embed_text_file.cmake
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
