#!/usr/bin/env bash
# The package as a pharmacy's IT person uses it: installed with apt-get, the installed programs
# run on a demo drive root named in /etc/velantia.conf (each menu and login entry's Exec line, a
# dispensing's first page, a closing call), then purged: every installed file gone, the drive
# root as it was. Only as root, on a machine that may be changed (CI's); the package is never
# left installed, and one that was installed before is left alone.
#
#   tests/package/install-run-purge.sh build-package/velantia_<version>_<arch>.deb
set -euo pipefail
deb=$(realpath "${1:?uso: $0 PAQUETE.deb}")
src=$(cd "$(dirname "$0")/../.." && pwd)
say() { echo "prueba del paquete: $*"; }
fail() {
  say "FALLA: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' velantia 2>/dev/null | grep -q 'ok installed'; }
if [ "$(id -u)" -ne 0 ]; then
  say "se salta (instala en el sistema: solo como root)"
  exit 0
fi
if installed; then
  say "se salta: velantia ya está instalado aquí y no se toca"
  exit 0
fi
started=$SECONDS
work=$(mktemp -d)
window="" # the prepared window this test started
pulled="" # packages apt-get brought in for velantia, removed with it
apt() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y "$@" >>"$work/apt.log" 2>&1; }
cleanup() {
  if [ -n "$window" ]; then kill "$window" 2>/dev/null || true; fi
  # shellcheck disable=SC2086
  if installed; then apt purge velantia $pulled || cat "$work/apt.log" >&2; fi
  rm -rf "$work"
}
trap cleanup EXIT

before=$(dpkg-query -W -f='${Package}\n' | sort)
apt install "$deb" || fail "apt-get install: $(tail -n 20 "$work/apt.log")"
pulled=$(comm -13 <(echo "$before") <(dpkg-query -W -f='${Package}\n' | sort) | grep -vx velantia || true)
version=$(sed -n 's/^project(Velantia VERSION \([^ )]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(dpkg-query -W -f='${Version}' velantia)" = "$version" ] || fail "la versión del paquete no es $version"
for p in velantia velantia-ventanas velantia-convertir; do
  [ "$($p --version)" = "$p $version" ] || fail "$p --version: $($p --version)"
done

# Every library and run-time file the programs load comes from a package that velantia depends
# on, directly or not, so apt-get brings them all to a machine without them.
closure=$(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances velantia | grep -v '^ ' | sed 's/:.*//' | sort -u)
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
runtime=(/usr/bin/velantia /usr/bin/velantia-ventanas /usr/bin/velantia-convertir
  /usr/lib/qt6/libexec/QtWebEngineProcess "/usr/lib/$arch/qt6/plugins/platforms/libqxcb.so"
  /usr/share/qt6/translations/qtbase_es.qm /usr/share/qt6/resources/qtwebengine_resources.pak
  /usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf) # the pages' Arial
for f in "${runtime[@]}" $(ldd "${runtime[@]:0:5}" | awk '$2 == "=>" { print $3 }' | sort -u); do
  owner=""
  for p in "$f" "$(realpath "$f")" "${f#/usr}"; do
    owner=$(dpkg -S "$p" 2>/dev/null | sed -n '1s/[:,].*//p') && [ -n "$owner" ] && break
  done
  grep -qx "${owner:-?}" <<<"$closure" || fail "$f (${owner:-sin paquete}) no llega por las dependencias"
done

# The drive root the installed program finds without VELANTIA_ROOT.
root=$work/farmacia
VELANTIA_CONVERTIR=/usr/bin/velantia-convertir "$src/demo/setup-root" "$root" >"$work/raiz.txt" 2>&1 ||
  fail "demo/setup-root: $(cat "$work/raiz.txt")"
printf 'raiz = %s\n' "$root" >>/etc/velantia.conf
product=$root/quiroles/Velantia
unset VELANTIA_ROOT
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 VELANTIA_MENSAJES=$work/mensajes.txt
export VELANTIA_SERVICE_URL=https://velantia.localhost:9/conexion_empresas.asp # nobody there
export VELANTIA_PRECARGA_INACTIVIDAD=300 # a window left behind by a failure ends soon
said() { # what the runs showed and logged; read whole (no early exit into a closed pipe)
  cat "$work/mensajes.txt" 2>/dev/null || true
  for f in "$product"/registro*.log; do if [ -f "$f" ]; then iconv -f cp1252 -t utf-8 "$f"; fi; done
}
holds() { grep -F -- "$1" >/dev/null; }

# Each entry's Exec line as the menu or the session runs it: exit code, then what it showed.
declare -A expect=([CONFIGURAR]="0 Captura guardada" [REGISTRO]="0 Captura guardada"
  [ACTUALIZAR]="1 No se puede conectar con el servidor"
  [ENVIAR]="0 No hay respuestas pendientes de enviar." [PRECARGAR]="0 Ventana preparada (proceso")
ran=0
for entry in $(dpkg-query -L velantia | grep '\.desktop$'); do
  read -ra line <<<"$(sed -n 's/^Exec=//p' "$entry")"
  want=${expect[${line[1]:-}]:-}
  [ -n "$want" ] || fail "$entry: Exec=${line[*]} no es ninguna de las órdenes esperadas"
  rc=0
  VELANTIA_SCREENSHOT=$work/${line[1]}.png timeout 120 "${line[@]}" >"$work/salida.txt" 2>&1 || rc=$?
  [ "$rc" = "${want%% *}" ] || fail "${line[*]}: código $rc; $(cat "$work/salida.txt")"
  { cat "$work/salida.txt"; said; } | holds "${want#* }" || fail "${line[*]}: no dice «${want#* }»"
  ran=$((ran + 1))
done
[ "$ran" = "${#expect[@]}" ] || fail "$ran entradas; se esperaban ${#expect[@]}"
window=$(said | sed -n 's/.*Ventana preparada (proceso \([0-9]*\)).*/\1/p' | tail -n 1)

# A dispensing, served by the prepared window: its first page written, its screenshot taken.
VELANTIA_SCREENSHOT=$work/dispensacion.png velantia -00012340+692514+683907 >/dev/null 2>&1 ||
  fail "la dispensación con captura terminó con error"
[ -s "$work/dispensacion.png" ] || fail "sin captura de la dispensación"
grep -q 692514 "$product/htm0/Informa.htm" || fail "la primera página no es la de 692514"
said | holds '(ventana preparada) -00012340+692514+683907' || fail "no la atendió la ventana preparada"
# Logout ends it, in order.
[ -n "$window" ] || fail "no se sabe qué proceso es la ventana preparada"
kill -TERM "$window"
timeout 30 tail -s 0.1 --pid="$window" -f /dev/null || fail "la ventana preparada no termina"
window=""
said | holds 'termina (el sistema ha pedido que termine)' || fail "sin fin de la ventana preparada"

# A closing call moves the recorded answer of 692514 into the outbox.
{ printf 692514; tail -c +7 "$src/tests/golden/survey/grabar.ref"; } >"$product/referencias/00012340.ref"
velantia TK-00012340+692514+683907 || fail "la llamada de cierre terminó con error"
grep -q $'^1\t692514\t28001234\t' "$product/Respuesta.tsv" || fail "Respuesta.tsv: $(cat -A "$product/Respuesta.tsv")"
[ ! -e "$product/referencias/00012340.ref" ] || fail "el fichero de referencia sigue ahí"

# Purged: nothing of the package left, the pharmacy's data as it was.
snapshot() { (cd "$root" && find . -printf '%p %y %s %T@\n' | sort && find . -type f -exec sha256sum {} + | sort); }
snapshot >"$work/antes.txt"
dpkg-query -L velantia >"$work/ficheros.txt"
# shellcheck disable=SC2086
apt purge velantia $pulled || fail "apt-get purge: $(tail -n 20 "$work/apt.log")"
while read -r f; do
  if [ "$f" = /. ]; then
    continue
  elif [ -d "$f" ] && [ ! -L "$f" ]; then
    dpkg -S "$f" >/dev/null 2>&1 || fail "queda la carpeta $f, de nadie"
  elif [ -e "$f" ] || [ -L "$f" ]; then
    fail "queda $f"
  fi
done <"$work/ficheros.txt"
snapshot | cmp -s - "$work/antes.txt" || fail "la raíz de unidad ha cambiado al purgar"
say "instalado, ejecutado y purgado sin dejar nada en $((SECONDS - started)) s" \
  "(${pulled:-ningún paquete más traído por las dependencias})"
