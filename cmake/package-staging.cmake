# Run by CPack once the package's files are staged, before it zips them: SHA256SUMS lists every
# other file, in the format `sha256sum -c` reads.
set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
    file(SHA256 ${stage}/${file} sum)
    string(APPEND sums "${sum}  ${file}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS "${sums}")
