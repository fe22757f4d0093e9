# The Debian libraries the native platform layer stands on: libevdev for the
# virtual keyboard, libsystemd's sd-bus for desktop notifications and the tray icon.
find_package(PkgConfig REQUIRED)
pkg_check_modules(NOTCHKEY_NATIVE_LIBS REQUIRED IMPORTED_TARGET libevdev libsystemd)
