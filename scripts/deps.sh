# Sourced by the scripts in this folder: installs with apt-get whatever the
# build, the tests, the tools and the benchmarks need and is not installed yet.
VK_PACKAGES=(
  g++ cmake make pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libsnmp-dev libssl-dev
  snmpd snmp snmptrapd
  protobuf-compiler libprotobuf-dev python3 python3-protobuf
  clang libclang-rt-14-dev
  iproute2 procps bsdutils
  prometheus-snmp-exporter curl
  coreutils mount util-linux prometheus-node-exporter
)

vk_install_deps() {
  local missing=()
  local p
  for p in "${VK_PACKAGES[@]}"; do
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
