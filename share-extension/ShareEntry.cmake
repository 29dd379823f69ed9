# vellora_share_entry(<program> <output>): vellora-share.desktop for the share
# program at <program>, an absolute path, so that the entry starts it whether
# or not its folder is on PATH. Written when configuring, for the configured
# prefix, and by an install into another prefix.
function(vellora_share_entry program output)
  # The Exec key's quoting: a path with reserved characters goes in double
  # quotes with '"', '`', '$' and '\' escaped, and those backslashes doubled
  # once more as a string value; a literal '%' is doubled.
  string(REPLACE "%" "%%" word "${program}")
  if(word MATCHES "[ \t\n\"'\\\\><~|&;$*?#()`]")
    string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" word "${word}")
    string(REPLACE "\\" "\\\\" word "${word}")
    set(word "\"${word}\"")
  endif()
  set(VELLORA_SHARE_EXEC "${word}")
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/vellora-share.desktop.in "${output}" @ONLY)
endfunction()
