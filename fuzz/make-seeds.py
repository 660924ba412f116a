#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/ from the inputs the test suite uses.

Run again after changing it; each seed is a small file named after what it shows."""
import io
import pathlib
import shutil
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"


def lines(*ls):
    return "".join(l + "\r\n" for l in ls)


def doc(body, doctype=""):
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + doctype + "<datos>\n" + body + "</datos>\n"


def record(tag, fields):
    return "  <" + tag + ">" + "".join(f"<{k}>{v}</{k}>" for k, v in fields) + f"</{tag}>\n"


def item(ident, code, **over):
    f = dict(tipo_alarma="1", titulo="Titulo " + ident, texto="Texto " + ident,
             fecha_inicio="20240101", fecha_final="20241231", fecha_actualizacion="20240102",
             imprimir="1", informacion_anexa="Anexo " + ident, estado="A")
    f.update(over)
    order = ["tipo_alarma", "titulo", "texto", "fecha_inicio", "fecha_final",
             "fecha_actualizacion", "imprimir", "informacion_anexa", "estado"]
    return record("item", [("identificador", ident), ("codigo", code)] + [(k, f[k]) for k in order])


def price(code, desc, nom, dist):
    return record("producto", [("codigo_nacional", code), ("descripcion", desc),
                               ("pvp_nomenclator", nom), ("pvp_distribuidor", dist),
                               ("fecha_actualizacion", "20240101")])


def row(g, gt, p, pt, r, rt, d):
    return record("fila", [("grupo_pregunta_id", g), ("grupo", gt), ("pregunta_id", p),
                           ("pregunta", pt), ("respuesta_id", r), ("respuesta", rt),
                           ("por_defecto", d)])


ANY_DTD = ("<!ELEMENT datos ANY><!ELEMENT item ANY><!ELEMENT identificador ANY>"
           "<!ELEMENT codigo ANY><!ELEMENT titulo ANY><!ELEMENT estado ANY>")


def entity_doc(system_id):
    return doc(record("item", [("identificador", "1"), ("codigo", "111111"), ("titulo", "&ext;"),
                               ("estado", "A")]),
               f'<!DOCTYPE datos [{ANY_DTD}<!ENTITY ext SYSTEM "{system_id}">]>\n')


def zip_bytes(entries, method=zipfile.ZIP_DEFLATED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.compress_type = method
            z.writestr(info, data)
    return buf.getvalue()


def ref_file(records):
    out = b""
    for code, ords, anss in records:
        r = bytearray(365)
        r[0:6] = code.ljust(6).encode()
        for k, t in ords.items():
            r[6 + 3 * k:9 + 3 * k] = t.ljust(3).encode()
        for k, t in anss.items():
            r[159 + 4 * k:163 + 4 * k] = t.ljust(4).encode()
        r[363:365] = b"\n\r"
        out += bytes(r)
    return out


MASTER = doc(item("12", "222222", titulo="Título € ñ", texto="<![CDATA[<b>Dosis</b> & más]]>")
             + item("12", "111111", titulo="otro", tipo_alarma="2")
             + item("7", "333333", fecha_final="") + item("abc", "444444", fecha_final="0")
             + item("20", "555551", fecha_inicio="20240616") + item("23", "555554", estado="B")
             + item("24", "A12345") + item("26", "666666", fecha_inicio="", imprimir="0"))

LOL = "<!DOCTYPE datos [" + ANY_DTD + '<!ENTITY a0 "lol">' + "".join(
    f'<!ENTITY a{i} "' + f"&a{i-1};" * 10 + '">' for i in range(1, 4)) + "]>\n"

SEEDS = {
    "fuzz_cmdline": {
        "vacia": "", "enviar": "enviar", "actualizar": "Actualizar", "configurar": "CONFIGURAR",
        "enviar_codigo": "ENVIAR+123456", "referencia": "-00012341+654321+712345",
        "cierre": "TK-00012341+654321+712345", "digito_cero": "-00012340+654321",
        "corta": "-1234", "solo_codigo": "+654321", "codigo_corto": "-00012340+6543",
        "basura": "-00012340+654321 basura", "tk": "TK", "subida": "-../../x1+654321",
        "barra": "-ab\\cd001+654321", "unidad": "-C:000001+654321", "tab": "-0001\t001+654321",
        "repetidos": "TK-00000011" + "+600001+600002+600001" * 20,
    },
    "fuzz_datos_txt": {
        "demo": lines('"2800123"', '"600"', "0", '"7 - Semanal"', '"8"', '"demo"'),
        "tres": lines('"111"', '"600"', "1"),
        "sin_comillas": lines("  111 , otra", "  480.5 ", "1", "7 - Semanal", "8", "x"),
        "comilla_abierta": lines('"abc', '"9e99"', "1"),
        "alto_negativo": lines('"1"', "-5"),
    },
    "fuzz_encuesta_for": {"cero": "  0  \r\n", "uno": "1\r\n", "grande": "99999\r\n",
                          "vacio": "", "negativo": "-7,5\r\notra\r\n"},
    "fuzz_survey_file": {
        "una_columna": lines("E001 Grupo", "P001 Uno", "R001 si", "R002 no", "P002 Dos", "R003 a"),
        "dos_columnas": lines("E001 G1", "P001 Q1", "R001 a", "E002 G2", "P002 Q2", "R005 b",
                              "E003 G3", "P003 Q3"),
        "marcas": lines("P001 Q", "R001 a", "R002sb", "R003 c", "R004sd", "R005 e"),
        "codigos_raros": lines("P001 Q", "R 7 a", "R-12b", "R004sx"),
        "cortas": "E001 G\r\n\r\nR\r\nP01\r\nRabc\r\nP001 \r\n",
        "acentos": lines("E001 Grupo \xC1", "P009xPregunta \xF1", "X001 otro"),
        "muchas": lines(*["P001 Q%d" % r for r in range(55)], "R001 late"),
        "respuestas": lines("P001 Q", *["R%dsA" % (100 + a) for a in range(25)]),
    },
    "fuzz_xml_maestro": {
        "maestro": MASTER,
        "dtd_interna": doc(item("1", "111111"),
                           "<!DOCTYPE datos [<!ELEMENT datos (item*)><!ELEMENT item (identificador)>"
                           "<!ELEMENT identificador (#PCDATA)>]>\n"),
        "dtd_falta": doc(item("1", "111111"), '<!DOCTYPE datos SYSTEM "falta.dtd">\n'),
        "entidad_fuera": entity_doc("../../secreto.txt"),
        "entidad_passwd": entity_doc("file:///etc/passwd"),
        "entidad_red": entity_doc("http://127.0.0.1:9/x"),
        "entidades": doc(record("item", [("identificador", "1"), ("titulo", "&a3;")]), LOL),
        "roto": '<?xml version="1.0"?>\n<datos>\n' + item("1", "1") + "<roto",
    },
    "fuzz_xml_precios": {
        "precios": doc(price("600001", "NOMENCLATOR MAYOR", "10,00", "9,99")
                       + price("500004", "SIN COMA", "", "1250")
                       + price("500006", "NO ES NUMERO", "", "abc")
                       + price("6000077", "SIETE CIFRAS", "1,00", "1,00")
                       + price("A00001", "JARABE ÑOÑO €", "1,00", "2,00")),
        "basea": doc(price("100010", "A", "", "12,34") + price("100011", "B", "", "1250")
                     + price("100012", "C", "", "5,00") + price("100013", "D", "", "7,00")
                     + price("100014", "E", "", "7,00") + price("100015", "F", "", "7,00")
                     + price("1000110", "G", "", "99,99")),
        "roto": '<?xml version="1.0"?>\n<datos>\n' + price("100010", "A", "", "12,34") + "<roto",
    },
    "fuzz_xml_encuesta": {
        "encuesta": doc(row("1", "Atención", "1", "¿Se dispensa?", "1", "Sí", "s")
                        + row("1", "Atención", "1", "¿Se dispensa?", "2", "No", "")
                        + row("1", "Atención", "2", "¿Otra?", "4", "Cuatro", "")
                        + row("2", "Otro grupo", "4", "Última", "1", "Fin", "n")),
        "nada": doc("<nada/>\n"),
        "roto": "<datos>" + row("1", "G", "1", "P", "1", "R", "") + "</dato>",
    },
}

BINARY = {
    "fuzz_unzip": {
        "tres": zip_bytes([("Maestro.xml", b"<a/>"), ("datos/interior/Encuesta.xml", b"x" * 300),
                           ("win\\Precios.xml", b"<p/>")]),
        "subida": zip_bytes([("../evil", b"malo"), ("../../otro.xml", b"malo"), ("x/..", b"nada")]),
        "guardado": zip_bytes([("Maestro.xml", b"ab" * 100)], zipfile.ZIP_STORED),
        "carpeta": zip_bytes([("solo/", b"")]),
        "bomba": zip_bytes([("a.xml", b"0" * 200000)]),
    },
    "fuzz_ref_records": {
        "vacio": b"",
        "cincuenta": ref_file([("600001", {0: "1", 1: "0", 2: "1"}, {1: "1", 2: "20"}),
                               ("700003", {0: "1", 3: "0"}, {3: "100"})]
                              + [("", {}, {})] * 48),
        "corto": ref_file([("600002", {0: "1"}, {})]) * 3,
        "impar": ref_file([("600001", {0: "1", 2: "x"}, {2: "zz"})] * 50) + b"resto",
        "posiciones": ref_file([("600002", {0: "1", 1: "999", 2: "-1", 3: "1e9"},
                                 {1: "-32768", 2: "1e99"})] * 50),
    },
}


def main():
    if CORPUS.exists():
        shutil.rmtree(CORPUS)
    for target, seeds in SEEDS.items():
        for name, text in seeds.items():
            data = text.encode("latin-1") if target in (
                "fuzz_survey_file", "fuzz_datos_txt", "fuzz_encuesta_for", "fuzz_cmdline") \
                else text.encode("utf-8")
            write(target, name, data)
    for target, seeds in BINARY.items():
        for name, data in seeds.items():
            write(target, name, data)


def write(target, name, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


if __name__ == "__main__":
    main()
