# Hardening of the Windows programs (mingw-w64), applied to everything the Windows build
# compiles and links:
# - ASLR with high entropy and DEP: the linker's defaults for 64-bit images today
#   (DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT in DllCharacteristics), named here so that
#   no later change of flags or tool chain drops them; tests/wine/pe_hardening.py reads
#   them back from the executables;
# - a stack protector on every function with arrays or address-taken locals, and the
#   checked forms of memcpy, strcpy and the like where the compiler knows the sizes
#   (_FORTIFY_SOURCE=2 needs optimisation, which every Windows build type but Debug has).
# mingw-w64 takes both from GCC's libssp, which the static link puts inside the program:
# no libssp-0.dll, so the programs still need only what Windows has.
add_compile_options(-fstack-protector-strong)
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
