# tovi_add_proxy_dll(<name> IDL <file> CLSID <guid> [IDL_INCLUDES <dir>...]
#                    [C_INCLUDES <dir>...] [DEPENDS <target>...])
#
# From one IDL file: the header and IIDs (library <name>_idl, which puts the
# generated header on its users' include path) and the proxy/stub DLL
# <name>.dll (target <name>), built as the OPC interfaces' DLL is: inline
# stubs (widl -Os), the generated C compiled by clang for structured
# exception handling, linked by the mingw toolchain.  IDL_INCLUDES are the
# folders of imported IDL files, C_INCLUDES those of their generated headers,
# DEPENDS the targets that generate those headers.
set(TOVI_PROXY_SUPPORT_DIR ${CMAKE_CURRENT_LIST_DIR}/../server/opc/proxy)

function(tovi_add_proxy_dll name)
  cmake_parse_arguments(P "" "IDL;CLSID" "IDL_INCLUDES;C_INCLUDES;DEPENDS" ${ARGN})
  get_filename_component(stem ${P_IDL} NAME_WE)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(header ${gen}/${stem}.h)
  set(iids ${gen}/${stem}_i.c)
  set(proxy ${gen}/${stem}_p.c)
  set(dlldata ${gen}/dlldata.c)
  file(MAKE_DIRECTORY ${gen})

  set(idl_includes -I${TOVI_WINE_IDL_DIR})
  foreach(dir ${P_IDL_INCLUDES})
    list(APPEND idl_includes -I${dir})
  endforeach()
  # Inline stubs (-Os): with the interpreted ones this Wine loses [out] strings.
  add_custom_command(
    OUTPUT ${header} ${iids} ${proxy}
    COMMAND ${TOVI_WIDL} ${TOVI_WIDL_ARCH} -Os ${idl_includes}
            -h -H ${stem}.h -p -P ${stem}_p.c -u -U ${stem}_i.c ${P_IDL}
    WORKING_DIRECTORY ${gen}
    DEPENDS ${P_IDL}
    COMMENT "Generating header, IIDs and proxy from ${stem}.idl"
    VERBATIM)
  add_custom_command(
    OUTPUT ${dlldata}
    COMMAND ${TOVI_WIDL} ${TOVI_WIDL_ARCH} --dlldata-only --dlldata=dlldata.c ${stem}
    WORKING_DIRECTORY ${gen}
    DEPENDS ${P_IDL}
    COMMENT "Generating dlldata.c of ${name}"
    VERBATIM)
  # One owner for the generated files, so that parallel builds never run widl twice.
  add_custom_target(${name}_generated DEPENDS ${header} ${iids} ${proxy} ${dlldata})
  if(P_DEPENDS)
    add_dependencies(${name}_generated ${P_DEPENDS})
  endif()

  add_library(${name}_idl STATIC ${iids} ${header})
  add_dependencies(${name}_idl ${name}_generated)
  target_include_directories(${name}_idl PUBLIC ${gen} ${P_C_INCLUDES})
  target_link_libraries(${name}_idl PUBLIC ole32 oleaut32 uuid)

  string(REPLACE "-" "" hex ${P_CLSID})
  string(SUBSTRING ${hex} 0 8 data1)
  string(SUBSTRING ${hex} 8 4 data2)
  string(SUBSTRING ${hex} 12 4 data3)
  set(bytes)
  foreach(offset RANGE 16 30 2)
    string(SUBSTRING ${hex} ${offset} 2 byte)
    list(APPEND bytes 0x${byte})
  endforeach()
  list(JOIN bytes "," bytes)
  set(c_includes -I${gen})
  foreach(dir ${P_C_INCLUDES})
    list(APPEND c_includes -I${dir})
  endforeach()
  set(forced ${TOVI_PROXY_SUPPORT_DIR}/ProxyDeclarations.h ${TOVI_PROXY_SUPPORT_DIR}/ProxyExceptions.h)
  set(flags
      -nostdlibinc -isystem ${CMAKE_FIND_ROOT_PATH}/include ${c_includes}
      -fms-extensions -O2 -Wall -Werror
      -DUSE_COMPILER_EXCEPTIONS -DREGISTER_PROXY_DLL -D__WIDL_proxy
      "-DPROXY_CLSID_IS={0x${data1},0x${data2},0x${data3},{${bytes}}}" -D_WIN32_WINNT=0x0601
      -include ${TOVI_PROXY_SUPPORT_DIR}/ProxyDeclarations.h -include ${TOVI_PROXY_SUPPORT_DIR}/ProxyExceptions.h)

  set(objects)
  foreach(source ${proxy} ${iids} ${dlldata})
    get_filename_component(part ${source} NAME_WE)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}_${part}.obj)
    if(TOVI_TRIPLE STREQUAL "x86_64-w64-mingw32")
      add_custom_command(
        OUTPUT ${object}
        COMMAND ${TOVI_CLANG} --target=${TOVI_TRIPLE} ${flags} -MD -MF ${object}.d -c ${source} -o ${object}
        DEPENDS ${source} ${forced} ${name}_generated
        DEPFILE ${object}.d
        COMMENT "Compiling ${part}.c for ${name} (clang)"
        VERBATIM)
    else()
      # clang cannot emit __try for 32-bit mingw targets: the preprocessed
      # source is code-generated for the MSVC target (same C ABI); GNU ld
      # cannot place the SafeSEH table, so it is removed.
      set(preprocessed ${CMAKE_CURRENT_BINARY_DIR}/${name}_${part}.i)
      add_custom_command(
        OUTPUT ${object}
        COMMAND ${TOVI_CLANG} --target=${TOVI_TRIPLE} ${flags} -MD -MF ${object}.d -E ${source} -o ${preprocessed}
        COMMAND ${TOVI_CLANG} --target=i686-pc-windows-msvc -fms-extensions -O2 -Wall -Werror
                -c ${preprocessed} -o ${object}
        COMMAND ${TOVI_TRIPLE}-objcopy --remove-section=.sxdata ${object}
        DEPENDS ${source} ${forced} ${name}_generated
        DEPFILE ${object}.d
        COMMENT "Compiling ${part}.c for ${name} (clang)"
        VERBATIM)
    endif()
    list(APPEND objects ${object})
  endforeach()
  set_source_files_properties(${objects} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

  set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  file(WRITE ${def} "LIBRARY ${name}.dll\nEXPORTS\n    DllGetClassObject PRIVATE\n    DllCanUnloadNow PRIVATE\n"
                    "    DllRegisterServer PRIVATE\n    DllUnregisterServer PRIVATE\n")
  add_library(${name} SHARED ${objects} ${def})
  set_target_properties(${name} PROPERTIES PREFIX "" LINKER_LANGUAGE C)
  target_link_libraries(${name} PRIVATE rpcrt4 ole32 oleaut32 uuid)
  if(TOVI_TRIPLE STREQUAL "i686-w64-mingw32")
    # The .def names the exports undecorated; they are __stdcall in the objects.
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
endfunction()
