# Sourced by the scripts in this folder: installs with apt-get whatever the
# build, the tests, the tools and the benchmarks need and is not installed yet.
VK_PACKAGES=(
  g++ cmake make pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libsnmp-dev libssl-dev
  snmpd snmp
  protobuf-compiler libprotobuf-dev python3 python3-protobuf
  clang libclang-rt-14-dev
  iproute2 procps bsdutils coreutils mount util-linux
  chromium chromium-driver python3-selenium
)

# The peers the benchmarks compare against; only scripts/bench installs them.
# Each comes with a system service that would listen on this machine
# (snmptrapd on the trap port 162 that qdr-agent uses, the exporters on all
# addresses): vk_install_bench_deps stops and disables those services where
# systemd runs, since the benchmarks start their own copies on loopback.
VK_BENCH_PACKAGES=(
  snmptrapd prometheus-snmp-exporter prometheus-node-exporter curl
)
VK_BENCH_SERVICES=(snmptrapd prometheus-snmp-exporter prometheus-node-exporter)

# Building the Debian packages and checking them (tests/packaging).
VK_PACKAGING_PACKAGES=(dpkg-dev lintian systemd adduser file)

vk_install_deps() {
  vk_install_packages "${VK_PACKAGES[@]}" "${VK_PACKAGING_PACKAGES[@]}"
}

vk_install_bench_deps() {
  vk_install_packages "${VK_BENCH_PACKAGES[@]}"
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    local s
    for s in "${VK_BENCH_SERVICES[@]}"; do
      vk_sudo systemctl disable --now "$s" >/dev/null 2>&1 || true
    done
  fi
}

vk_sudo() {
  if [ "$(id -u)" -ne 0 ]; then
    sudo "$@"
  else
    "$@"
  fi
}

# Installs those of the named packages that are not installed yet.
vk_install_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "== installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Configures and builds one tree: vk_build <dir> [cmake options...]
vk_build() {
  local dir=$1
  shift
  cmake -S "$VK_ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
