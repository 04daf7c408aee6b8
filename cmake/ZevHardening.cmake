# Debian's hardening flags for every target of the plain build: fortified
# libc calls, stack protector, and a read-only GOT resolved at start
# (relro + now). The sanitizer and fuzz builds go without them: the
# sanitizers bring checks of their own, and _FORTIFY_SOURCE needs the
# optimiser, which Debug builds leave off.
option(ZEV_HARDEN "Build with Debian's hardening flags" ON)
if(ZEV_HARDEN AND NOT ZEV_SANITIZE AND NOT ZEV_TSAN AND NOT ZEV_FUZZ)
  add_compile_options(-fstack-protector-strong
                      "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  add_link_options(LINKER:-z,relro,-z,now)
endif()
