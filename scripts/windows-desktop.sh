# The Windows desktop program: sourced by scripts/build-windows --desktop once
# the image libraries are in $prefix (it uses that script's variables and
# helpers: WIN_DIR, prefix, toolchain, triplet, JOBS, SUDO, version, say,
# stage_texts, pack_zip).
#
# Builds Qt 6 Base for MinGW-w64 from Debian's qt6-base source package, with
# Debian's host tools (qt6-base-dev), once into $WIN_DIR/qt: Core, Gui,
# Widgets (with the WinMain entry point), the windows platform plugin and the
# windowsvista style, nothing else. The build folder is Qt's own prefix
# (nothing is installed), so the project's CMake finds Qt there. The stamp
# $WIN_DIR/qt/stamp marks it done: delete $WIN_DIR/qt to start over. Then
# builds tessary.exe against it into $WIN_DIR/build-desktop and packs
# $WIN_DIR/tessary-VERSION-win64.zip: the desktop program with the Qt DLLs and
# plugins and the MinGW runtime DLLs it needs, its help pages, README and the
# licence texts (the command line has its own zip). With $shots set, saves
# pictures of the main window and the viewer running under Wine and Xvfb,
# taken from the X display, into that folder.

desktop_packages=(qt6-base-dev xvfb xauth imagemagick x11-utils xdotool fonts-wine dpkg-dev time)
missing=()
for p in "${desktop_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

qt=$WIN_DIR/qt
host_cmake=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake
qt_build=$qt/build
if [ ! -e "$qt/stamp" ]; then
  say "Qt 6 Base for Windows (takes about half an hour of two processors' time, once)"
  mkdir -p "$qt"
  qt_src=$(find "$qt" -maxdepth 1 -mindepth 1 -type d -name 'qt6-base-*' | head -n1)
  if [ -z "$qt_src" ]; then
    (cd "$qt" && apt-get source -qq qt6-base >"$qt/source.log" 2>&1) \
      || { cat "$qt/source.log" >&2; echo "apt-get source qt6-base failed" >&2; exit 1; }
    qt_src=$(find "$qt" -maxdepth 1 -mindepth 1 -type d -name 'qt6-base-*' | head -n1)
  fi
  rm -rf "$qt_build"; mkdir -p "$qt_build"
  # Only what the desktop program uses. Qt's tablet support needs wintab.h,
  # which Debian's source package leaves out; the Windows platform plugin of
  # this Qt does not compile without (dynamic, run-time loaded) OpenGL.
  # The third-party libraries Qt bundles are compiled in: Debian's MinGW
  # packages offer none but zlib.
  # Times (processor and wall) of the two steps go to $qt/time.log.
  timed() { /usr/bin/time -a -o "$qt/time.log" -f "$1: %U s user, %S s system, %e s wall" "${@:2}"; }
  timed configure nice cmake -S "$qt_src" -B "$qt_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-qt.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$host_cmake" -DQt6HostInfo_DIR="$host_cmake/Qt6HostInfo" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$qt_build" -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_testlib=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_doubleconversion=OFF \
    -DFEATURE_opengl=ON -DFEATURE_tabletevent=OFF -DFEATURE_vulkan=OFF -DFEATURE_sql_sqlite=OFF \
    >"$qt/configure.log" 2>&1 || { tail -60 "$qt/configure.log" >&2; exit 1; }
  timed build nice -n 10 cmake --build "$qt_build" -j "$JOBS" --target Widgets EntryPointImplementation qwindows qwindowsvistastyle \
    >"$qt/build.log" 2>&1 || { tail -60 "$qt/build.log" >&2; exit 1; }
  touch "$qt/stamp"
fi

# --- tessary.exe ----------------------------------------------------------------
# The command line comes along: the pictures' RPX2 file is converted with it.
say "tessary.exe"
desktop_build=$WIN_DIR/build-desktop
nice cmake -S "$root" -B "$desktop_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DTESSARY_WIN_PREFIX="$prefix;$qt_build" -DQt6_DIR="$qt_build/lib/cmake/Qt6" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$host_cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_BUILD_TESTS=OFF -DTESSARY_BUILD_BENCH=OFF \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$desktop_build.log" 2>&1 \
  || { cat "$desktop_build.log" >&2; exit 1; }
nice cmake --build "$desktop_build" -j "$JOBS" --target tessary tessary-cli
desktop_bin=$desktop_build/bin

# --- the zip --------------------------------------------------------------------
desktop_name=tessary-$version-win64
stage=$WIN_DIR/$desktop_name
rm -rf "$stage" "$WIN_DIR/$desktop_name.zip"
mkdir -p "$stage/platforms" "$stage/styles"
"$triplet-strip" -o "$stage/tessary.exe" "$desktop_bin/tessary.exe"
cp "$qt_build/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt_build/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
# The DLLs the program and the plugins import, and theirs in turn, found
# among Qt's and the compiler's; the system's own are left to Windows.
runtime_dirs=("$qt_build/bin" "$(dirname "$("$triplet-g++-posix" -print-file-name=libstdc++-6.dll)")" \
  "/usr/$triplet/lib")
pending=("$stage/tessary.exe" "$stage/platforms/qwindows.dll" "$stage/styles/qwindowsvistastyle.dll")
while [ ${#pending[@]} -gt 0 ]; do
  file=${pending[0]}; pending=("${pending[@]:1}")
  for dll in $("$triplet-objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
    [ -e "$stage/$dll" ] && continue
    for dir in "${runtime_dirs[@]}"; do
      if [ -e "$dir/$dll" ]; then
        "$triplet-strip" -o "$stage/$dll" "$dir/$dll"
        pending+=("$stage/$dll")
        break
      fi
    done
  done
done
cp -a "$desktop_bin/help" "$stage/help"
stage_texts "$stage"
qt_src=$(find "$qt" -maxdepth 1 -mindepth 1 -type d -name 'qt6-base-*' | head -n1)
qt_version=$(dpkg-parsechangelog -l "$qt_src/debian/changelog" -S Version)
cp "$qt_src/LICENSES/LGPL-3.0-only.txt" "$stage/licences/qt-LGPL-3.0.txt"
cp "$qt_src/LICENSES/GPL-3.0-only.txt" "$stage/licences/qt-GPL-3.0.txt"
{
  printf 'Qt 6 Base (Qt6Core, Qt6Gui, Qt6Widgets and the two plugins), under the\n'
  printf 'GNU LGPL version 3 (qt-LGPL-3.0.txt, qt-GPL-3.0.txt), built unchanged from\n'
  printf "Debian's qt6-base source package %s (apt-get source qt6-base=%s) with\n" "$qt_version" "$qt_version"
  printf 'scripts/build-windows --desktop of the Tessary sources. Any Qt 6.4 DLLs of the\n'
  printf 'same configuration may replace them. The copyright and licence of every file\n'
  printf 'in that source package, the libraries Qt carries inside among them, follow.\n\n'
  cat "$qt_src/debian/copyright"
} >"$stage/licences/qt.txt"
pack_zip "$desktop_name"

if [ -n "$shots" ]; then
  WINEPREFIX=$WIN_DIR/wineprefix-desktop scripts/windows-screenshots "$stage" "$desktop_bin/tessary-cli.exe" "$shots"
fi
