#!/usr/bin/env bash
# Builds ZTServer and starts it in the foreground on the demo database.
#
# The first run creates demo/shop.dat from examples/demo.schema and loads
# the example rows; demo/ztserver.ini keeps the error log and lock files
# under demo/. The port is 5432 unless ZT_PORT says otherwise. Stop the
# server with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
ZT_TARGETS="ztserver ztadmin ztcli" scripts/build.sh
mkdir -p demo
if [ ! -e demo/shop.dat ]; then
  build/ztadmin create demo/shop.dat examples/demo.schema
  build/ztadmin load demo/shop.dat Customers examples/customers.csv
  build/ztadmin load demo/shop.dat Products examples/products.csv
  build/ztadmin load demo/shop.dat Orders examples/orders.csv
fi
if [ ! -e demo/ztserver.ini ]; then
  cat > demo/ztserver.ini <<'INI'
[CONNECTION]
DatabaseFile=shop.dat
ServerPort=5432

[SERVER]
WorkFolder=work
LockFolder=locks
ListenAddress=127.0.0.1
INI
fi
build/ztadmin describe demo/shop.dat
echo
echo "Starting the server on 127.0.0.1:${ZT_PORT:-5432} (Ctrl-C stops it); try:"
echo "  build/ztcli -p ${ZT_PORT:-5432} CREATERECORDSET 'RECORDSETOPEN~1~Customers' 'RECORDSETGETFIELDVALUE~1~Name'"
exec build/ztserver --config demo/ztserver.ini --port "${ZT_PORT:-5432}"
