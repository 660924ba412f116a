#!/usr/bin/env python3
"""Writes the demo master data twice: as the service sends it and as the update leaves it.

demo/service gets Maestro.xml, Encuesta.xml and Precios.xml (UTF-8) and the packages the
service answers with (farmacia.zip, encuesta.zip, precio.zip). demo/root gets the local files
the conversion makes of them (Windows-1252 bytes, CR LF line ends); they must stay the same
bytes as velantia-convertir writes from the XML, which demo/setup-root uses.

Everything is fictional: brand names, codes, prices and texts are invented for
the demo. Output is deterministic.

Usage: demo/make-demo-data.py [ROOT [SERVICE]]   (defaults: root and service beside this script)
"""

import datetime
import os
import shutil
import sys
import zipfile
from xml.sax.saxutils import escape

CRLF = b"\r\n"

# The item dates are fixed so that the data never changes between runs; the
# start dates lie in the past and the open ends reach far into the future.
LAST_CHANGE = "20250915"
NO_END = "00000000"
FAR_END = "20991231"
EXPIRED_END = "20240131"

# (code, description (max 40), price as shown on the page)
PRODUCTS = [
    ("654321", "ALGIDOL 500 MG 20 COMPRIMIDOS", "2,18"),
    ("660118", "BRONCOTUS 15 MG/5 ML JARABE 200 ML", "4,95"),
    ("671245", "CARDIOSTAT 100 MG 30 COMP GASTRORRESIST", "1,45"),
    ("683907", "DORMIVAL 1 MG 30 COMPRIMIDOS", "1,62"),
    ("692514", "ENALTEN 20 MG 28 COMPRIMIDOS", "2,87"),
    ("700236", "FERROVIT 80 MG 30 COMPRIMIDOS", "5,60"),
    ("712480", "GASTRIPROL 20 MG 28 CAPSULAS", "2,43"),
    ("725631", "HIDROCORT 1% CREMA 30 G", "3,10"),
    ("738854", "INSULAR 100 UI/ML 5 PLUMAS 3 ML", "45,26"),
    ("804417", "LEVOTIR 50 MCG 100 COMPRIMIDOS", "2,96"),
    ("913368", "NAPROFEN 550 MG 40 COMPRIMIDOS", "3,21"),
    ("957106", "ZELTRIMAB 40 MG 2 PLUMAS PRECARGADAS", "1.020,47"),
]

# Information texts by identifier: (title, body, additional information).
# A body may carry simple HTML; no value may hold a double quote.
SOURCE = "Grupo de trabajo Velantia de Kaprania. Elaboración propia a partir de la ficha técnica."
TEXTS = {
    "001204": (
        "Dosis máxima de paracetamol",
        "No tome más de <b>3 g al día</b> (6 comprimidos) y deje al menos 4 horas entre tomas. "
        "No lo combine con otros medicamentos que lleven paracetamol, como muchos antigripales.",
        SOURCE,
    ),
    "001205": (
        "Consumo de alcohol y enfermedad hepática",
        "En pacientes con consumo habitual de alcohol, desnutrición o hepatopatía conviene no "
        "superar <b>2 g/día</b>. Derivar al médico si la fiebre dura más de 3 días o el dolor más de 5.",
        SOURCE,
    ),
    "001310": (
        "Somnolencia: precaución al conducir",
        "Este medicamento puede producir <b>somnolencia</b> y disminuir la capacidad de reacción. "
        "No conduzca ni maneje máquinas peligrosas hasta saber cómo le afecta, y evite el alcohol.",
        SOURCE,
    ),
    "001311": (
        "Interacción con antidepresivos",
        "Dextrometorfano con IMAO (y hasta 14 días después de suspenderlos) o con ISRS como "
        "fluoxetina o paroxetina: riesgo de <b>síndrome serotoninérgico</b>. No dispensar sin "
        "consultar con el médico prescriptor.",
        SOURCE,
    ),
    "001402": (
        "Riesgo hemorrágico con anticoagulantes y AINE",
        "La asociación con anticoagulantes orales, otros antiagregantes o AINE (ibuprofeno, "
        "naproxeno...) aumenta el <b>riesgo de hemorragia digestiva</b>. Comprobar el tratamiento "
        "completo y la protección gástrica.",
        SOURCE,
    ),
    "001403": (
        "Cómo tomar el comprimido",
        "Trague el comprimido entero, sin masticar, preferiblemente después de una comida. "
        "No deje el tratamiento por su cuenta y avise a su médico o dentista antes de una "
        "extracción o una operación.",
        SOURCE,
    ),
    "001520": (
        "Alcohol y otros depresores del sistema nervioso",
        "Potencia el efecto sedante del alcohol, los opioides, los antihistamínicos sedantes y "
        "otros hipnóticos. Riesgo de <b>depresión respiratoria</b> en pacientes mayores o con "
        "EPOC o apnea del sueño.",
        SOURCE,
    ),
    "001521": (
        "Tratamiento de corta duración",
        "Riesgo de tolerancia y dependencia. La duración recomendada no supera <b>4 semanas</b>, "
        "incluida la retirada, que debe ser gradual. Revisar con el médico los tratamientos "
        "prolongados.",
        SOURCE,
    ),
    "001630": (
        "Contraindicado en el embarazo",
        "No debe tomarse durante el <b>embarazo</b>. Si está embarazada o cree que podría estarlo, "
        "consulte a su médico cuanto antes: existen alternativas seguras para controlar la tensión.",
        SOURCE,
    ),
    "001631": (
        "Tos seca persistente",
        "Los IECA pueden causar una tos seca e irritativa que no cede con antitusivos. Si aparece, "
        "derivar al médico para valorar el cambio de tratamiento; no recomendar jarabes.",
        SOURCE,
    ),
    "001632": (
        "Control de la tensión arterial",
        "Tómelo cada día a la misma hora, aunque se encuentre bien. Reduzca la sal de las comidas "
        "y mida su tensión de forma periódica; en la farmacia le podemos ayudar.",
        SOURCE,
    ),
    "001740": (
        "Separar de antiácidos, calcio y levotiroxina",
        "Los antiácidos, el calcio, la leche y el té reducen la absorción del hierro, y el hierro "
        "la de la levotiroxina. Separe las tomas al menos <b>2 horas</b>.",
        SOURCE,
    ),
    "001741": (
        "Heces de color oscuro",
        "Es normal que las heces se vuelvan oscuras o negras mientras toma hierro. Tómelo con "
        "un vaso de agua o zumo de naranja, mejor en ayunas; si le sienta mal, con algo de comida.",
        SOURCE,
    ),
    "001850": (
        "Cómo tomar la cápsula",
        "Tome la cápsula en ayunas, unos 30 minutos antes del desayuno, con un vaso de agua. "
        "No la abra ni la mastique.",
        SOURCE,
    ),
    "001851": (
        "Revisión de tratamientos prolongados",
        "Campaña de invierno 2023-2024: ofrecer a los pacientes con más de un año de tratamiento "
        "sin revisión la derivación al médico para valorar la indicación.",
        "Campaña finalizada el 31 de enero de 2024.",
    ),
    "001960": (
        "Hipoglucemia",
        "Si nota sudor frío, temblor, hambre intensa o confusión, tome enseguida <b>15 g de "
        "azúcar</b> (un vaso de zumo o 3 terrones) y vuelva a medir su glucosa a los 15 minutos. "
        "Lleve siempre azúcar encima.",
        SOURCE,
    ),
    "001961": (
        "Conservación de la insulina",
        "Guarde las plumas sin empezar en la nevera, entre 2 °C y 8 °C, sin congelar. La pluma "
        "en uso puede estar a temperatura ambiente (hasta 30 °C) durante <b>4 semanas</b>.",
        SOURCE,
    ),
    "002070": (
        "Tomar en ayunas",
        "Tome el comprimido por la mañana en ayunas, con agua, al menos 30 minutos antes del "
        "desayuno. No cambie de marca sin consultarlo con su médico o farmacéutico.",
        SOURCE,
    ),
    "002071": (
        "Interacciones que reducen la absorción",
        "Hierro, calcio, antiácidos, omeprazol y resinas reducen la absorción de la levotiroxina. "
        "Separar 4 horas y revisar la TSH si se inicia o retira alguno de ellos.",
        SOURCE,
    ),
    "002290": (
        "AINE en el tercer trimestre del embarazo",
        "<b>Contraindicado</b> a partir de la semana 20 de embarazo salvo indicación expresa del "
        "médico. Si está embarazada, consulte antes de tomar cualquier antiinflamatorio.",
        SOURCE,
    ),
    "002291": (
        "Protección gástrica en mayores de 65 años",
        "Valorar gastroprotección en mayores de 65 años, con antecedentes de úlcera o en "
        "tratamiento con antiagregantes, anticoagulantes o corticoides.",
        SOURCE,
    ),
    "002292": (
        "Tomar con alimentos",
        "Tómelo con comida o con un vaso de leche para proteger el estómago. Use la dosis más "
        "baja que le alivie y durante el menor tiempo posible.",
        SOURCE,
    ),
    "002301": (
        "Infecciones y vacunas",
        "Aumenta el riesgo de infecciones. Avise a su médico si tiene fiebre y no se ponga "
        "<b>vacunas de virus vivos</b> sin consultarlo.",
        SOURCE,
    ),
    "002302": (
        "Conservación en frío",
        "Guarde las plumas en la nevera (2 °C a 8 °C) en su caja, protegidas de la luz. Sáquela "
        "30 minutos antes de inyectarla para que la inyección moleste menos.",
        SOURCE,
    ),
    "002400": (
        "Retirada de un lote",
        "Retirada del lote <b>H2407</b> por un defecto del tubo. Devolver las unidades al "
        "distribuidor y ofrecer al paciente otro lote.",
        "Ficha anulada por el grupo de trabajo.",
    ),
}

# (code, alert level, text id, start date, end date, print flag, status). The service
# also sends items that are no longer in force: the expired 001851 and the withdrawn
# (status "B") 002400 reach the XML files only; the conversion leaves them out.
ITEMS = [
    ("654321", "3", "001204", "20230301", NO_END, "1", "A"),
    ("654321", "2", "001205", "20230301", NO_END, "0", "A"),
    ("660118", "2", "001310", "20240115", NO_END, "0", "A"),
    ("660118", "1", "001311", "20240115", FAR_END, "0", "A"),
    ("671245", "1", "001402", "20230610", NO_END, "0", "A"),
    ("671245", "3", "001403", "20230610", NO_END, "1", "A"),
    ("683907", "1", "001520", "20231020", NO_END, "0", "A"),
    ("683907", "2", "001310", "20240115", NO_END, "1", "A"),
    ("683907", "2", "001521", "20231020", FAR_END, "0", "A"),
    ("692514", "1", "001630", "20230201", NO_END, "1", "A"),
    ("692514", "2", "001631", "20230201", NO_END, "0", "A"),
    ("692514", "3", "001632", "20250401", FAR_END, "1", "A"),
    ("700236", "2", "001740", "20240305", NO_END, "1", "A"),
    ("700236", "3", "001741", "20240305", NO_END, "1", "A"),
    ("712480", "3", "001850", "20230915", NO_END, "1", "A"),
    ("712480", "2", "001851", "20231101", EXPIRED_END, "0", "A"),
    ("725631", "2", "002400", "20240902", NO_END, "1", "B"),
    ("738854", "1", "001960", "20230501", NO_END, "1", "A"),
    ("738854", "3", "001961", "20230501", FAR_END, "1", "A"),
    ("804417", "3", "002070", "20240620", NO_END, "1", "A"),
    ("804417", "2", "002071", "20240620", FAR_END, "0", "A"),
    ("913368", "1", "002290", "20231201", NO_END, "1", "A"),
    ("913368", "2", "002291", "20231201", NO_END, "0", "A"),
    ("913368", "3", "002292", "20231201", FAR_END, "1", "A"),
    ("957106", "2", "002301", "20250110", NO_END, "0", "A"),
    ("957106", "3", "002302", "20250110", FAR_END, "1", "A"),
]

# Two groups, so the panel shows two columns. Codes stay within 3 digits;
# answer codes are unique across the survey. "s" marks the default answer.
SURVEY = [
    ("1", "Dispensación", [
        ("10", "Tipo de dispensación", [
            ("101", " ", "Primera vez"),
            ("102", " ", "Continuación"),
            ("103", " ", "Cambio de dosis"),
            ("104", "s", "No procede"),
        ]),
        ("11", "¿Sabe para qué es?", [
            ("111", " ", "Sí"),
            ("112", " ", "No, se le informa"),
            ("113", "s", "No procede"),
        ]),
        ("12", "¿Sabe cómo usarlo?", [
            ("121", " ", "Sí"),
            ("122", " ", "No, se le informa"),
            ("123", "s", "No procede"),
        ]),
    ]),
    ("2", "Seguimiento", [
        ("20", "Problema detectado", [
            ("201", "s", "Ninguno"),
            ("202", " ", "Interacción"),
            ("203", " ", "Contraindicación"),
            ("204", " ", "Duplicidad"),
            ("205", " ", "Efecto adverso"),
        ]),
        ("21", "Actuación", [
            ("211", "s", "Ninguna"),
            ("212", " ", "Información al paciente"),
            ("213", " ", "Derivación al médico"),
            ("214", " ", "No dispensado"),
        ]),
        ("22", "Resultado", [
            ("221", " ", "Aceptada"),
            ("222", " ", "No aceptada"),
            ("223", "s", "No procede"),
        ]),
    ]),
]

CONFIG = ['"28001234"', '"600"', "0", '"7 - Semanal"', '"8"', '"demo"']


def enc(text):
    # Strict: a character outside Windows-1252 is a mistake in the demo texts.
    return text.encode("cp1252")


def lset(value, width):
    assert len(value) <= width, (value, width)
    return value.ljust(width)


def rset(value, width):
    assert len(value) <= width, (value, width)
    return value.rjust(width)


def record_order(line):
    # Group by the digit in front (non-digit: group 0), then whole line.
    first = line[:1]
    group = int(first) if first.isdigit() else 0
    return (group, line)


def write_lines(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for line in lines:
            f.write(line + CRLF)


def today_stamp():
    return datetime.date.today().strftime("%Y%m%d")


def in_force(item, today):
    # The test the conversion applies; dates compare as texts.
    _, _, _, start, end, _, status = item
    return status == "A" and today >= start and (today <= end or int(end) == 0)


def check_items(today):
    products = {p[0] for p in PRODUCTS}
    for code, _, text_id, start, end, _, status in ITEMS:
        assert text_id in TEXTS, text_id
        assert code in products, code
        assert len(text_id) == 6 and text_id.isdigit()
        # Every date lies far from today, so the output does not depend on the day it is made.
        assert start < today and (end in (NO_END, FAR_END) or end < today), (code, text_id)
    used = sorted({item[2] for item in ITEMS})
    assert used == sorted(TEXTS), "every text is used and every item has a text"


def info_lines(today):
    lines = []
    for item in ITEMS:
        code, level, text_id, start, end, printable, status = item
        if not in_force(item, today):
            continue
        rec = (lset(code, 6) + lset(level, 1) + text_id + lset(LAST_CHANGE, 8)
               + lset(start, 8) + lset(end, 8) + status + lset(printable, 1))
        assert len(rec) == 39
        lines.append(enc(rec))
    return sorted(lines, key=record_order)


def product_lines():
    lines = []
    for code, description, price in PRODUCTS:
        assert len(code) == 6 and code.isdigit()
        rec = lset(code, 6) + lset(description, 40) + rset(price, 8)
        assert len(rec) == 54
        lines.append(enc(rec))
    return sorted(lines, key=record_order)


def survey_lines():
    lines = []
    for group_code, group_title, questions in SURVEY:
        lines.append(enc("E" + lset(group_code, 3) + " " + group_title))
        for question_code, question, answers in questions:
            lines.append(enc("P" + lset(question_code, 3) + " " + question))
            assert 1 <= len(answers) <= 21
            assert [flag for _, flag, _ in answers].count("s") == 1
            for answer_code, flag, answer in answers:
                lines.append(enc("R" + lset(answer_code, 3) + flag + answer))
    return lines


def quoted(value):
    assert '"' not in value, value
    return enc('"' + value + '"')


# --- The service's side: the XML files and the packages it answers with. ---

def element(name, value):
    enc(value)  # the same strictness as the local files
    return "<%s>%s</%s>" % (name, escape(value), name)


def cdata(name, value):
    assert "]]>" not in value, value
    enc(value)
    # Nothing around the section: any blank beside it would be a text of its own.
    return "<%s><![CDATA[%s]]></%s>" % (name, value, name)


def xml_document(root, record, rows):
    out = ['<?xml version="1.0" encoding="UTF-8"?>', "<%s>" % root]
    for fields in rows:
        out.append("  <%s>" % record)
        out.extend("    " + f for f in fields)
        out.append("  </%s>" % record)
    out.append("</%s>" % root)
    return ("\n".join(out) + "\n").encode("utf-8")


def master_xml():
    rows = []
    for code, level, text_id, start, end, printable, status in ITEMS:
        title, body, extra = TEXTS[text_id]
        # The service sends the identifier as a plain number; the conversion pads it.
        rows.append([
            element("identificador", str(int(text_id))),
            element("codigo", code),
            element("tipo_alarma", level),
            element("titulo", title),
            cdata("texto", body),
            element("fecha_inicio", start),
            element("fecha_final", end),
            element("fecha_actualizacion", LAST_CHANGE),
            element("imprimir", printable),
            element("informacion_anexa", extra),
            element("estado", status),
        ])
    return xml_document("maestro", "alerta", rows)


def survey_xml():
    rows = []
    for group_code, group_title, questions in SURVEY:
        for question_code, question, answers in questions:
            for answer_code, flag, answer in answers:
                rows.append([
                    element("grupo_pregunta_id", group_code),
                    element("grupo", group_title),
                    element("pregunta_id", question_code),
                    element("pregunta", question),
                    element("respuesta_id", answer_code),
                    element("respuesta", answer),
                    element("por_defecto", flag.strip()),
                ])
    return xml_document("encuesta", "fila", rows)


def prices_xml():
    rows = []
    for code, description, price in PRODUCTS:
        # "1.020,47": the list price goes with a comma, the distributor's in hundredths; equal
        # amounts keep the distributor's, which the product file shows the Spanish way.
        plain = price.replace(".", "")
        euros, cents = plain.split(",")
        assert euros.isdigit() and len(cents) == 2 and cents.isdigit(), price
        rows.append([
            element("codigo_nacional", code),
            element("descripcion", description),
            element("pvp_nomenclator", plain),
            element("pvp_distribuidor", str(int(euros + cents))),
            element("fecha_actualizacion", LAST_CHANGE),
        ])
    return xml_document("precios", "producto", rows)


# Fixed entry date and attributes, so that the packages are the same bytes on every run.
ZIP_DATE = (2025, 9, 15, 8, 0, 0)


def write_zip(path, name, data):
    info = zipfile.ZipInfo(name, date_time=ZIP_DATE)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 0
    info.external_attr = 0
    with open(path, "wb") as raw, zipfile.ZipFile(raw, "w") as z:
        z.writestr(info, data)


def write_service(folder):
    os.makedirs(folder, exist_ok=True)
    for name, data, package in (("Maestro.xml", master_xml(), "farmacia.zip"),
                                ("Encuesta.xml", survey_xml(), "encuesta.zip"),
                                ("Precios.xml", prices_xml(), "precio.zip")):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        write_zip(os.path.join(folder, package), name, data)


def write_root(root, today):
    product = os.path.join(root, "quiroles", "Velantia")
    datos = os.path.join(product, "datos")
    textos = os.path.join(datos, "textos")

    # Texts are rewritten whole, as the update does, so none is left over.
    shutil.rmtree(textos, ignore_errors=True)
    os.makedirs(textos)

    write_lines(os.path.join(datos, "Velantia.txt"), info_lines(today))
    write_lines(os.path.join(datos, "productos.txt"), product_lines())
    write_lines(os.path.join(datos, "Encuesta.txt"), survey_lines())
    for text_id in sorted({item[2] for item in ITEMS if in_force(item, today)}):
        write_lines(os.path.join(textos, text_id + ".txt"),
                    [quoted(value) for value in TEXTS[text_id]])

    write_lines(os.path.join(product, "config", "datos.txt"), [enc(v) for v in CONFIG])
    write_lines(os.path.join(product, "config", "encuesta.for"), [b"1"])
    write_lines(os.path.join(root, "quiroles", "tipoconect"), [b"1"])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "root")
    service = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "service")
    today = today_stamp()
    check_items(today)
    write_root(root, today)
    write_service(service)
    print(root)
    print(service)


if __name__ == "__main__":
    main()
