# tovi_add_proxy_dll(<name> IDL <file> CLSID <guid> [OUTPUT_NAME <dll name>]
#                    [IDL_TARGET <target>] [IDL_INCLUDES <dir>...]
#                    [C_INCLUDES <dir>...] [DEPENDS <target>...]
#                    [I686_TARGET <target>])
#
# From one IDL file: the header and IIDs (library IDL_TARGET, by default
# <name>_idl, which puts the generated header and C_INCLUDES on its users'
# include path; its generation is target IDL_TARGET_generated) and the
# proxy/stub DLL (target <name>, file OUTPUT_NAME.dll, by default <name>.dll):
# inline stubs (widl -Os; with the interpreted ones this Wine loses [out]
# strings), the generated C compiled by clang for structured exception
# handling (gcc has none), linked by the mingw toolchain, with the
# registration of proxy/ProxyRegistration.c.  IDL_INCLUDES are the folders
# of imported IDL files, C_INCLUDES those of their headers, DEPENDS the
# targets that generate those headers.  The CLSID is chosen once per DLL:
# registries out there keep it.
#
# I686_TARGET, in an x86_64 tree: the same DLL for 32-bit Windows as well
# (custom target <target>, file i686/OUTPUT_NAME.dll, also in the target's
# property TOVI_FILE), for 32-bit clients of a 64-bit server.
include_guard(GLOBAL)

# Compiles the three generated files of <gen> (<stem>_p.c, <stem>_i.c,
# dlldata.c) for <triple> into the objects of <out_var>.
function(_tovi_proxy_objects out_var name triple gen stem clsid c_includes depends)
  string(REPLACE "-" "" hex ${clsid})
  string(SUBSTRING ${hex} 0 8 data1)
  string(SUBSTRING ${hex} 8 4 data2)
  string(SUBSTRING ${hex} 12 4 data3)
  set(bytes)
  foreach(offset RANGE 16 30 2)
    string(SUBSTRING ${hex} ${offset} 2 byte)
    list(APPEND bytes 0x${byte})
  endforeach()
  list(JOIN bytes "," bytes)
  set(includes -I${gen})
  foreach(dir ${c_includes})
    list(APPEND includes -I${dir})
  endforeach()
  set(support ${PROJECT_SOURCE_DIR}/server/opc/proxy)
  set(forced ${support}/ProxyDeclarations.h ${support}/ProxyExceptions.h)
  set(flags
      -nostdlibinc -isystem /usr/${triple}/include ${includes}
      -fms-extensions -O2 -Wall -Werror
      -DUSE_COMPILER_EXCEPTIONS -D__WIDL_proxy
      "-DPROXY_CLSID_IS={0x${data1},0x${data2},0x${data3},{${bytes}}}" -D_WIN32_WINNT=0x0601
      -include ${support}/ProxyDeclarations.h -include ${support}/ProxyExceptions.h)
  set(objects)
  foreach(source ${gen}/${stem}_p.c ${gen}/${stem}_i.c ${gen}/dlldata.c)
    get_filename_component(part ${source} NAME_WE)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}_${part}.obj)
    if(triple STREQUAL "x86_64-w64-mingw32")
      add_custom_command(
        OUTPUT ${object}
        COMMAND ${TOVI_CLANG} --target=${triple} ${flags} -MD -MF ${object}.d -c ${source} -o ${object}
        DEPENDS ${source} ${forced} ${depends}
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
        COMMAND ${TOVI_CLANG} --target=${triple} ${flags} -MD -MF ${object}.d -E ${source} -o ${preprocessed}
        COMMAND ${TOVI_CLANG} --target=i686-pc-windows-msvc -fms-extensions -O2 -Wall -Werror
                -c ${preprocessed} -o ${object}
        COMMAND ${triple}-objcopy --remove-section=.sxdata ${object}
        DEPENDS ${source} ${forced} ${depends}
        DEPFILE ${object}.d
        COMMENT "Compiling ${part}.c for ${name} (clang)"
        VERBATIM)
    endif()
    list(APPEND objects ${object})
  endforeach()
  set_source_files_properties(${objects} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  set(${out_var} ${objects} PARENT_SCOPE)
endfunction()

# Header, IIDs, proxy and dlldata of one widl run into <gen>; a macro, so
# that it sees stem, idl_includes, P_IDL and name of tovi_add_proxy_dll.
macro(_tovi_proxy_generate gen widl arch)
  file(MAKE_DIRECTORY ${gen})
  add_custom_command(
    OUTPUT ${gen}/${stem}.h ${gen}/${stem}_i.c ${gen}/${stem}_p.c
    COMMAND ${widl} ${arch} -Os ${idl_includes}
            -h -H ${stem}.h -p -P ${stem}_p.c -u -U ${stem}_i.c ${P_IDL}
    WORKING_DIRECTORY ${gen}
    DEPENDS ${P_IDL}
    COMMENT "Generating header, IIDs and proxy from ${stem}.idl (${arch})"
    VERBATIM)
  add_custom_command(
    OUTPUT ${gen}/dlldata.c
    COMMAND ${widl} ${arch} --dlldata-only --dlldata=dlldata.c ${stem}
    WORKING_DIRECTORY ${gen}
    DEPENDS ${P_IDL}
    COMMENT "Generating dlldata.c of ${name} (${arch})"
    VERBATIM)
endmacro()

function(tovi_add_proxy_dll name)
  cmake_parse_arguments(P "" "IDL;CLSID;OUTPUT_NAME;IDL_TARGET;I686_TARGET" "IDL_INCLUDES;C_INCLUDES;DEPENDS" ${ARGN})
  if(NOT P_OUTPUT_NAME)
    set(P_OUTPUT_NAME ${name})
  endif()
  if(NOT P_IDL_TARGET)
    set(P_IDL_TARGET ${name}_idl)
  endif()
  set(generated_target ${P_IDL_TARGET}_generated)
  set(registration ${PROJECT_SOURCE_DIR}/server/opc/proxy/ProxyRegistration.c)
  get_filename_component(stem ${P_IDL} NAME_WE)
  set(idl_includes -I${TOVI_WINE_IDL_DIR})
  foreach(dir ${P_IDL_INCLUDES})
    list(APPEND idl_includes -I${dir})
  endforeach()

  set(gen ${CMAKE_CURRENT_BINARY_DIR}/generated)
  _tovi_proxy_generate(${gen} ${TOVI_WIDL} ${TOVI_WIDL_ARCH})
  # One owner for the generated files, so that parallel builds never run widl twice.
  add_custom_target(${generated_target}
    DEPENDS ${gen}/${stem}.h ${gen}/${stem}_i.c ${gen}/${stem}_p.c ${gen}/dlldata.c)
  if(P_DEPENDS)
    add_dependencies(${generated_target} ${P_DEPENDS})
  endif()

  add_library(${P_IDL_TARGET} STATIC ${gen}/${stem}_i.c ${gen}/${stem}.h)
  add_dependencies(${P_IDL_TARGET} ${generated_target})
  target_include_directories(${P_IDL_TARGET} PUBLIC ${gen} ${P_C_INCLUDES})
  target_link_libraries(${P_IDL_TARGET} PUBLIC ole32 oleaut32 uuid)

  _tovi_proxy_objects(objects ${name} ${TOVI_TRIPLE} ${gen} ${stem} ${P_CLSID} "${P_C_INCLUDES}" ${generated_target})
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  file(WRITE ${def} "LIBRARY ${P_OUTPUT_NAME}.dll\nEXPORTS\n    DllGetClassObject PRIVATE\n    DllCanUnloadNow PRIVATE\n"
                    "    DllRegisterServer PRIVATE\n    DllUnregisterServer PRIVATE\n")
  add_library(${name} SHARED ${objects} ${def} ${registration})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${P_OUTPUT_NAME} PREFIX "" LINKER_LANGUAGE C)
  target_link_libraries(${name} PRIVATE rpcrt4 ole32 oleaut32 uuid advapi32)
  tovi_warnings(${name})
  if(TOVI_TRIPLE STREQUAL "i686-w64-mingw32")
    # The .def names the exports undecorated; they are __stdcall in the objects.
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()

  if(P_I686_TARGET AND TOVI_TRIPLE STREQUAL "x86_64-w64-mingw32")
    # Outside CMake's one toolchain: generated, compiled and linked by the
    # i686 tools directly, as the i686 tree does it.
    set(triple i686-w64-mingw32)
    find_program(TOVI_I686_WIDL ${triple}-widl REQUIRED)
    find_program(TOVI_I686_GCC ${triple}-gcc-posix REQUIRED)
    set(gen32 ${CMAKE_CURRENT_BINARY_DIR}/generated-i686)
    _tovi_proxy_generate(${gen32} ${TOVI_I686_WIDL} --win32)
    add_custom_target(${P_I686_TARGET}_generated
      DEPENDS ${gen32}/${stem}.h ${gen32}/${stem}_i.c ${gen32}/${stem}_p.c ${gen32}/dlldata.c)
    if(P_DEPENDS)
      add_dependencies(${P_I686_TARGET}_generated ${P_DEPENDS})
    endif()
    _tovi_proxy_objects(objects32 ${P_I686_TARGET} ${triple} ${gen32} ${stem} ${P_CLSID} "${P_C_INCLUDES}"
                        ${P_I686_TARGET}_generated)
    set(registration32 ${CMAKE_CURRENT_BINARY_DIR}/${P_I686_TARGET}_ProxyRegistration.obj)
    add_custom_command(
      OUTPUT ${registration32}
      COMMAND ${TOVI_I686_GCC} -O2 -Wall -Werror -DUNICODE -D_UNICODE -DSTRICT -D_WIN32_WINNT=0x0601
              -DWINVER=0x0601 -MD -MF ${registration32}.d -c ${registration} -o ${registration32}
      DEPENDS ${registration}
      DEPFILE ${registration32}.d
      COMMENT "Compiling ProxyRegistration.c for ${P_I686_TARGET}"
      VERBATIM)
    set(dll32 ${CMAKE_CURRENT_BINARY_DIR}/i686/${P_OUTPUT_NAME}.dll)
    add_custom_command(
      OUTPUT ${dll32}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/i686
      COMMAND ${TOVI_I686_GCC} -shared -static -static-libgcc -o ${dll32} ${objects32} ${registration32} ${def}
              -Wl,--enable-stdcall-fixup -lrpcrt4 -lole32 -loleaut32 -luuid -ladvapi32
      DEPENDS ${objects32} ${registration32} ${def}
      COMMENT "Linking the 32-bit ${P_OUTPUT_NAME}.dll"
      VERBATIM)
    add_custom_target(${P_I686_TARGET} ALL DEPENDS ${dll32})
    set_target_properties(${P_I686_TARGET} PROPERTIES TOVI_FILE ${dll32})
  endif()
endfunction()
