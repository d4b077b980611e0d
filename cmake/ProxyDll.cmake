# tovi_add_proxy_dll(<name> IDL <file> CLSID <guid> [OUTPUT_NAME <dll name>]
#                    [IDL_TARGET <target>] [IDL_INCLUDES <dir>...]
#                    [C_INCLUDES <dir>...] [DEPENDS <target>...])
#
# From one IDL file: the header and IIDs (library IDL_TARGET, by default
# <name>_idl, which puts the generated header and C_INCLUDES on its users'
# include path; its generation is target IDL_TARGET_generated) and the
# proxy/stub DLL (target <name>, file OUTPUT_NAME.dll, by default <name>.dll):
# inline stubs (widl -Os; with the interpreted ones this Wine loses [out]
# strings), the generated C compiled by clang for structured exception
# handling (gcc has none), linked by the mingw toolchain.  IDL_INCLUDES are
# the folders of imported IDL files, C_INCLUDES those of their headers,
# DEPENDS the targets that generate those headers.  The CLSID is chosen once
# per DLL: registries out there keep it.
include_guard(GLOBAL)

function(tovi_add_proxy_dll name)
  cmake_parse_arguments(P "" "IDL;CLSID;OUTPUT_NAME;IDL_TARGET" "IDL_INCLUDES;C_INCLUDES;DEPENDS" ${ARGN})
  if(NOT P_OUTPUT_NAME)
    set(P_OUTPUT_NAME ${name})
  endif()
  if(NOT P_IDL_TARGET)
    set(P_IDL_TARGET ${name}_idl)
  endif()
  set(generated_target ${P_IDL_TARGET}_generated)
  set(support ${PROJECT_SOURCE_DIR}/server/opc/proxy)
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
  add_custom_target(${generated_target} DEPENDS ${header} ${iids} ${proxy} ${dlldata})
  if(P_DEPENDS)
    add_dependencies(${generated_target} ${P_DEPENDS})
  endif()

  add_library(${P_IDL_TARGET} STATIC ${iids} ${header})
  add_dependencies(${P_IDL_TARGET} ${generated_target})
  target_include_directories(${P_IDL_TARGET} PUBLIC ${gen} ${P_C_INCLUDES})
  target_link_libraries(${P_IDL_TARGET} PUBLIC ole32 oleaut32 uuid)

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
  set(forced ${support}/ProxyDeclarations.h ${support}/ProxyExceptions.h)
  set(flags
      -nostdlibinc -isystem ${CMAKE_FIND_ROOT_PATH}/include ${c_includes}
      -fms-extensions -O2 -Wall -Werror
      -DUSE_COMPILER_EXCEPTIONS -DREGISTER_PROXY_DLL -D__WIDL_proxy
      "-DPROXY_CLSID_IS={0x${data1},0x${data2},0x${data3},{${bytes}}}" -D_WIN32_WINNT=0x0601
      -include ${support}/ProxyDeclarations.h -include ${support}/ProxyExceptions.h)

  set(objects)
  foreach(source ${proxy} ${iids} ${dlldata})
    get_filename_component(part ${source} NAME_WE)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}_${part}.obj)
    if(TOVI_TRIPLE STREQUAL "x86_64-w64-mingw32")
      add_custom_command(
        OUTPUT ${object}
        COMMAND ${TOVI_CLANG} --target=${TOVI_TRIPLE} ${flags} -MD -MF ${object}.d -c ${source} -o ${object}
        DEPENDS ${source} ${forced} ${generated_target}
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
        DEPENDS ${source} ${forced} ${generated_target}
        DEPFILE ${object}.d
        COMMENT "Compiling ${part}.c for ${name} (clang)"
        VERBATIM)
    endif()
    list(APPEND objects ${object})
  endforeach()
  set_source_files_properties(${objects} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

  set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  file(WRITE ${def} "LIBRARY ${P_OUTPUT_NAME}.dll\nEXPORTS\n    DllGetClassObject PRIVATE\n    DllCanUnloadNow PRIVATE\n"
                    "    DllRegisterServer PRIVATE\n    DllUnregisterServer PRIVATE\n")
  add_library(${name} SHARED ${objects} ${def})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${P_OUTPUT_NAME} PREFIX "" LINKER_LANGUAGE C)
  target_link_libraries(${name} PRIVATE rpcrt4 ole32 oleaut32 uuid)
  if(TOVI_TRIPLE STREQUAL "i686-w64-mingw32")
    # The .def names the exports undecorated; they are __stdcall in the objects.
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
endfunction()
