# Everything that differs between the PE32 (x86) and PE32+ (x86-64) builds of the same
# sources; no other file of the tree asks which flavour it is built for.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(DLLTOOL_MACHINE i386)
  # MSVC's name of CPortlink::operator=(const CPortlink &) for x86 (__thiscall).
  set(CPORTLINK_ASSIGN_MSVC "??4CPortlink@@QAEAAV0@ABV0@@Z")
  # Lets a .def name a stdcall function (decorated _Name@N on x86 only) by its plain name.
  set(STDCALL_FIXUP_LINK_OPTIONS -Wl,--enable-stdcall-fixup)
else()
  set(DLLTOOL_MACHINE i386:x86-64)
  set(CPORTLINK_ASSIGN_MSVC "??4CPortlink@@QEAAAEAV0@AEBV0@@Z")
  set(STDCALL_FIXUP_LINK_OPTIONS "")
endif()
