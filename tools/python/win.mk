# Compiles the interpreter as python311.dll with a mingw-w64 cross compiler.
# Invoked by tools/build-python.sh with S= (patched sources) N= (native build) C= (config dir) CC= ARCH=
BITS := $(if $(filter x86_64,$(ARCH)),64,32)
DLLID := $(if $(filter 32,$(BITS)),3.11-32,3.11)
BASE := -O2 -fwrapv -std=gnu11 -msse2 -mfpmath=sse -D__MINGW_USE_VC2005_COMPAT \
  -Wno-unused-parameter -Wno-missing-field-initializers -Werror=implicit-function-declaration \
  -I$(C) -I$(S)/Include -I$(S)/Include/internal -I$(S)/PC -I$(N)/Python -I$(S)/Python \
  -DPy_BUILD_CORE -DPy_BUILD_CORE_BUILTIN -DWIN32 -D_WIN32_WINNT=0x0602 -DWINVER=0x0602 -D_Py_HAVE_ZLIB \
  -DMS_DLL_ID='"$(DLLID)"' -DPY3_DLLNAME='L"python3.dll"' -DPy_ENABLE_SHARED
SRCS := $(shell cat $(C)/core.txt $(C)/ext.txt)
LIBS := -lversion -lws2_32 -lpathcch -lbcrypt -ladvapi32 -lshlwapi -liphlpapi -lwinmm -lrpcrt4
all: python311.dll
# per-file flags (from PCbuild/*.vcxproj, and what mingw needs)
obj/Modules/getpath.o: EXTRA = -DPREFIX=NULL -DEXEC_PREFIX=NULL -DVERSION=NULL -DVPATH='"..\\.."' -DPYDEBUGEXT='""' -DPLATLIBDIR='"DLLs"'
obj/Python/sysmodule.o: EXTRA = -DVPATH='"..\\.."'
obj/Modules/pyexpat.o obj/Modules/_elementtree.o: EXTRA = -DXML_STATIC -I$(S)/Modules/expat
obj/Modules/expat/xmlparse.o obj/Modules/expat/xmlrole.o obj/Modules/expat/xmltok.o: EXTRA = -DXML_STATIC -I$(S)/Modules/expat
MPD := $(if $(filter 64,$(BITS)),-DCONFIG_64,-DCONFIG_32) -DANSI -iquote $(S)/Modules/_decimal/libmpdec
$(foreach f,$(filter Modules/_decimal/%,$(SRCS)),$(eval obj/$(f:.c=.o): EXTRA = $(MPD)))
obj/%.o: $(S)/%.c
	@mkdir -p $(dir $@)
	@$(CC) $(BASE) $(EXTRA) -c $< -o $@
obj/deepfreeze.o: $(N)/Python/deepfreeze/deepfreeze.c
	@mkdir -p $(dir $@)
	@$(CC) $(BASE) -c $< -o $@
obj/config.o: $(C)/config.c
	@mkdir -p $(dir $@)
	@$(CC) $(BASE) -c $< -o $@
OBJS := $(patsubst %.c,obj/%.o,$(SRCS)) obj/deepfreeze.o obj/config.o
python311.dll: $(OBJS)
	@$(CC) -shared -static-libgcc -o $@ $^ -Wl,--out-implib,libpython311.dll.a $(LIBS) -Wl,-Bstatic -lz -lwinpthread
