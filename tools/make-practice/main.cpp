// make-practice --out DIR --patients N --seed S
// Writes a sample general practice as the source product keeps it: DIR/V3.mdb, the RTF letters in
// DIR/COURRIER/ and the destination configuration files in DIR/Base/. The same arguments give the
// same files, byte for byte.
#include "MdbWriter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using mdbwriter::Column;
using mdbwriter::ColumnType;
using mdbwriter::DateTime;
using mdbwriter::Value;

namespace {

// splitmix64: the generator and the stream mixer, identical on every platform.
struct Random {
    std::uint64_t state;

    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int between(int low, int high) { return low + int(next() % std::uint64_t(high - low + 1)); }
    bool percent(int chance) { return int(next() % 100) < chance; }
    bool perMille(int chance) { return int(next() % 1000) < chance; }
    template <typename T, std::size_t N>
    const T& pick(const std::array<T, N>& items) { return items[next() % N]; }
};

// One independent stream per (kind of record, record number), so that every table can be
// generated on its own and still agree with the others.
enum Stream : std::uint64_t { PatientStream = 1, DoctorStream, CorrespondentStream, ConsultationStream,
                              PrescriptionStream, SheetStream, LetterStream, HistoryStream };

Random streamFor(std::uint64_t seed, Stream stream, std::uint64_t number)
{
    Random mixer{seed * 0x2545F4914F6CDD1Dull ^ (std::uint64_t(stream) << 56) ^ number};
    mixer.next();
    return Random{mixer.next()};
}

constexpr std::array<std::string_view, 48> kSurnames = {
    "MARTIN", "BERNARD", "DUBOIS", "THOMAS", "ROBERT", "RICHARD", "PETIT", "DURAND", "LEROY", "MOREAU",
    "SIMON", "LAURENT", "LEFÈVRE", "MICHEL", "GARCIA", "DAVID", "BERTRAND", "ROUX", "VINCENT", "FOURNIER",
    "MOREL", "GIRARD", "ANDRÉ", "LEFEBVRE", "MERCIER", "DUPONT", "LAMBERT", "BONNET", "FRANÇOIS", "MARTINEZ",
    "Lemaître", "Hénault", "Béranger", "Chevènement", "Noël", "Gérard", "Côté", "Du Pré", "Le Goff", "N'Diaye",
    "Nguyễn", "Müller", "D'Aubigné", "Château", "Ébrard", "Œillet", "Saint-Éloi", "Ôzdemir"};
constexpr std::array<std::string_view, 40> kFirstNames = {
    "Jean", "Marie", "Pierre", "Françoise", "Hélène", "Zoé", "Anaïs", "Jérôme", "Clément", "Benoît",
    "Gaëlle", "Cécile", "Agnès", "Thérèse", "Léon", "Raphaël", "Maëlle", "Joël", "Élodie", "Éric",
    "Noémie", "Loïc", "Chloé", "Mathéo", "Inès", "Léa", "Hervé", "Josée", "Renée", "André",
    "Jean-François", "Marie-Hélène", "Anne-Sophie", "Ève", "Aurélien", "Océane", "Stéphane", "Frédéric",
    "Céline", "Grégoire"};
constexpr std::array<std::string_view, 20> kTowns = {
    "PARIS", "Lyon", "Saint-Étienne", "Besançon", "Orléans", "Nîmes", "Béziers", "Fontainebleau", "Évry",
    "Châteauroux", "Montélimar", "Sète", "L'Haÿ-les-Roses", "Créteil", "Vitry-sur-Seine", "Pontoise",
    "Aix-en-Provence", "Saint-Maur-des-Fossés", "Épinal", "Le Kremlin-Bicêtre"};
constexpr std::array<std::string_view, 16> kStreets = {
    "rue de la République", "avenue Jean-Jaurès", "boulevard Gambetta", "place de l'Église",
    "rue Émile-Zola", "chemin des Prés", "impasse des Tilleuls", "allée des Châtaigniers",
    "rue du Général-de-Gaulle", "quai de la Loire", "route de Fontainebleau", "rue Pasteur",
    "avenue Victor-Hugo", "rue des Écoles", "cours Mirabeau", "rue Saint-Honoré"};
constexpr std::array<std::string_view, 16> kSpecialities = {
    "Cardiologue", "Dermatologue", "Gynécologue", "Ophtalmologiste", "Pédiatre", "Radiologue",
    "Kinésithérapeute", "Infirmière", "Pneumologue", "Rhumatologue", "Oto-rhino-laryngologiste",
    "Psychiatre", "Gastro-entérologue", "Endocrinologue", "Laboratoire d'analyses médicales", "Chirurgien"};
constexpr std::array<std::string_view, 30> kHistoryKinds = {
    "Hypertension artérielle", "Diabète de type 2", "Appendicectomie", "Asthme", "Allergie à la pénicilline",
    "Fracture du poignet", "Tabagisme", "Hypercholestérolémie", "Migraine", "Cholécystectomie",
    "Dépression", "Hypothyroïdie", "Arthrose du genou", "Lombalgie chronique", "Infarctus du myocarde",
    "Fibrillation auriculaire", "Ulcère gastrique", "Amygdalectomie", "Césarienne", "Eczéma",
    "Glaucome", "Cataracte opérée", "Hernie inguinale", "BPCO", "Insuffisance rénale",
    "Goutte", "Psoriasis", "Anémie ferriprive", "Allergie aux acariens", "Rhinite allergique"};
constexpr std::array<std::string_view, 16> kReasons = {
    "Toux fébrile depuis 3 jours", "Renouvellement d'ordonnance", "Douleurs abdominales",
    "Certificat de sport", "Suivi HTA", "Vaccination grippe", "Lombalgie aiguë", "Angine",
    "Contrôle glycémie", "Céphalées", "Suivi de grossesse", "Fatigue, bilan", "Otite",
    "Entorse de la cheville", "Éruption cutanée", "Consultation de suivi"};
constexpr std::array<std::string_view, 16> kFindings = {
    "TA 13/8, pouls 72", "Auscultation pulmonaire : râles crépitants à droite", "Poids 72 kg, taille 1,75 m",
    "Température 38,5 °C", "Abdomen souple, indolore", "Tympans congestifs", "Gorge érythémateuse",
    "Examen neurologique normal", "Glycémie à jeun 1,26 g/l", "Œdème de la cheville gauche",
    "Pas de signe de gravité", "Bilan sanguin demandé", "Conseils hygiéno-diététiques",
    "Revoir dans 15 jours", "Arrêt de travail 3 jours", "Électrocardiogramme : RAS"};
constexpr std::array<std::string_view, 16> kDrugs = {
    "DOLIPRANE 1000 mg cp", "AMOXICILLINE 1 g cp", "SPASFON LYOC 80 mg", "VENTOLINE 100 µg susp. inhal.",
    "KARDEGIC 75 mg sachet", "METFORMINE 850 mg cp", "LEVOTHYROX 75 µg cp", "IBUPROFÈNE 400 mg cp",
    "OMÉPRAZOLE 20 mg gél.", "AUGMENTIN 1 g/125 mg", "SERESTA 10 mg cp", "EFFERALGAN codéiné",
    "TAHOR 20 mg cp", "HÉMIGOXINE 0,125 mg", "XYZALL 5 mg cp", "Sérum physiologique unidoses"};
constexpr std::array<std::string_view, 8> kPosologies = {
    "1 cp 3 fois par jour pendant 5 jours", "1 le matin", "2 bouffées si besoin",
    "1 sachet par jour au déjeuner", "1 gélule le soir pendant 1 mois", "Si douleur, maximum 4 par jour",
    "QSP 3 mois", "Ne pas dépasser la dose prescrite"};
constexpr std::array<std::string_view, 8> kLetterTitles = {
    "Courrier au confrère", "Certificat médical", "Compte rendu de consultation", "Lettre d'adressage",
    "Certificat de non contre-indication au sport", "Arrêt de travail", "Demande d'avis spécialisé",
    "Résultats d'examens"};
constexpr std::array<std::string_view, 8> kBreaks = {"\r\n", "\r\n", "\r\n", "\r", "\n", "\r\n", "\n", "\r\n"};

std::string digits(Random& random, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += char('0' + random.between(0, 9));
    return text;
}

// A phone number as it was typed: many styles, some blank, some null.
Value phoneNumber(Random& random)
{
    const int choice = random.between(0, 99);
    if (choice < 8)
        return std::monostate{};
    if (choice < 12)
        return std::string(choice < 10 ? "" : "  ");
    std::string number = "0" + std::to_string(random.between(1, 9)) + digits(random, 8);
    const auto pairs = [&](std::string_view separator) {
        std::string out;
        for (int i = 0; i < 10; i += 2)
            out += (i ? std::string(separator) : std::string()) + number.substr(std::size_t(i), 2);
        return out;
    };
    switch (choice % 10) {
    case 0: return number;
    case 1: return pairs(".");
    case 2: return pairs("-");
    case 3: return "+33 " + number.substr(1, 1) + " " + pairs(" ").substr(3);
    case 4: return "(" + number.substr(0, 2) + ") " + pairs(" ").substr(3);
    case 5: return " " + pairs(" ") + " ";
    case 6: return number.substr(0, 4) + " " + number.substr(4, 3) + " " + number.substr(7);
    case 7: return pairs("/");
    default: return pairs(" ");
    }
}

// A social security number with blanks, dots or nothing; some blank, some null.
Value socialSecurityNumber(Random& random, bool woman, int birthYear)
{
    const int choice = random.between(0, 99);
    if (choice < 6)
        return std::monostate{};
    if (choice < 9)
        return std::string(choice < 8 ? "" : " ");
    char year[3];
    std::snprintf(year, sizeof year, "%02d", birthYear % 100);
    char month[3];
    std::snprintf(month, sizeof month, "%02d", random.between(1, 12));
    const std::string department = random.percent(3) ? std::string("2A") : digits(random, 2);
    const std::vector<std::string> parts = {woman ? "2" : "1", year, month, department, digits(random, 3),
                                            digits(random, 3), digits(random, 2)};
    std::string separator = choice % 3 == 0 ? " " : choice % 3 == 1 ? "." : "";
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i ? separator : std::string()) + parts[i];
    if (choice % 7 == 0)
        out = "  " + out + " ";
    return out;
}

// Text of several lines separated by CR LF, CR or LF; sometimes ending with a break.
std::string lines(Random& random, int count, const auto& pool)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i)
            text += random.pick(kBreaks);
        text += random.pick(pool);
    }
    if (random.percent(15))
        text += random.pick(kBreaks);
    return text;
}

// Whole days since 30 December 1899 of a calendar date.
double dayNumber(int year, int month, int day)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT00:00:00", year, month, day);
    return *mdbwriter::parseDateTime(text);
}

// Times are kept as whole seconds since 30 December 1899 and turned into Jet days when written.
using Seconds = std::int64_t;

Seconds atSecond(int day, int second)
{
    return Seconds(day) * 86400 + second;
}

DateTime jetTime(Seconds seconds)
{
    return DateTime{double(seconds) / 86400.0};
}

struct Practice {
    std::uint64_t seed = 1;
    int patients = 100;
    std::vector<int> doctorCodes;
    int correspondents = 0;
    int firstConsultationDay = 0;
    int lastConsultationDay = 0;
    int missingRows = 1; // rows referring to missing patients, per table
    int editsPerMille = 0; // records edited as a doctor edits them after a first import (--edits)

    // Whether the record of that kind and code is edited; deleted ones are a fifth as many
    // consultations.
    bool edited(Stream stream, int code) const
    {
        return editsPerMille > 0 && streamFor(seed ^ 0xED17ull, stream, std::uint64_t(code)).perMille(editsPerMille);
    }
    bool deleted(int consultationCode) const
    {
        return editsPerMille > 0
            && int(streamFor(seed ^ 0xDE1Eull, ConsultationStream, std::uint64_t(consultationCode)).next() % 5000) < editsPerMille;
    }

    int patientCode(int index) const { return index + 1 + index / 97; } // a few gaps, as after deletions
    int missingPatientCode(int k) const { return patientCode(patients - 1) + 1000 + k; }
    bool correspondentExists(int code) const { return code % 37 != 0; }
};

// What one patient has, drawn from the patient's own stream.
struct PatientPlan {
    int code = 0;
    int doctor = 0;
    std::vector<Seconds> consultations; // sorted
    std::vector<int> consultationDoctors;
    int prescriptions = 0;
    int sheets = 0;
    int letters = 0;
    int history = 0;
};

PatientPlan planFor(const Practice& practice, int index)
{
    Random random = streamFor(practice.seed, PatientStream, std::uint64_t(index));
    PatientPlan plan;
    plan.code = practice.patientCode(index);
    plan.doctor = practice.doctorCodes[random.next() % practice.doctorCodes.size()];
    const int count = random.between(10, 30);
    const int first = random.between(practice.firstConsultationDay, practice.lastConsultationDay - 400);
    for (int i = 0; i < count; ++i) {
        const int day = random.between(first, practice.lastConsultationDay);
        plan.consultations.push_back(atSecond(day, random.between(8 * 3600, 19 * 3600)));
    }
    std::sort(plan.consultations.begin(), plan.consultations.end());
    for (int i = 0; i < count; ++i)
        plan.consultationDoctors.push_back(random.percent(90) ? plan.doctor
                                           : random.percent(50) ? 99
                                                                : practice.doctorCodes[random.next() % practice.doctorCodes.size()]);
    plan.prescriptions = random.between(5, 15);
    plan.sheets = random.between(0, 4);
    plan.letters = random.between(0, 4);
    plan.history = random.between(1, 5);
    return plan;
}

// A time at the same minute as one of the patient's consultations, or on another day.
Seconds sameMinuteOrOther(Random& random, const Practice& practice, const PatientPlan& plan, int sharePercent)
{
    if (!plan.consultations.empty() && random.percent(sharePercent)) {
        const Seconds at = plan.consultations[random.next() % plan.consultations.size()];
        return at - at % 60 + random.between(0, 59);
    }
    const int day = random.between(practice.firstConsultationDay, practice.lastConsultationDay);
    return atSecond(day, random.between(8 * 3600, 19 * 3600));
}

struct DetailLine {
    int level;
    Value text;
};

struct Record {
    Value patient;
    Value when;
    Value doctor;
    Value text;
    std::vector<DetailLine> details;
};

std::vector<DetailLine> detailLines(Random& random, int count, const auto& pool, int linesPerDetail)
{
    std::vector<DetailLine> details;
    for (int i = 0; i < count; ++i) {
        DetailLine line;
        line.level = random.percent(5) ? -1 : random.between(0, 3);
        if (random.percent(3))
            line.text = std::monostate{};
        else if (random.percent(3))
            line.text = std::string();
        else
            line.text = lines(random, random.between(1, linesPerDetail), pool);
        details.push_back(std::move(line));
    }
    return details;
}

Record consultation(const Practice& practice, const PatientPlan& plan, int j, int code)
{
    Random random = streamFor(practice.seed, ConsultationStream, std::uint64_t(code));
    Record record;
    record.patient = std::int64_t(plan.code);
    record.when = random.perMille(1) ? Value() : Value(jetTime(plan.consultations[std::size_t(j)]));
    record.doctor = std::int64_t(plan.consultationDoctors[std::size_t(j)]);
    if (random.percent(4)) {
        record.text = std::monostate{};
    } else {
        std::string text = "Motif : " + std::string(random.pick(kReasons));
        if (random.percent(60))
            text += "\r\n";
        record.text = text;
    }
    record.details = detailLines(random, random.between(1, 5), kFindings, 3);
    if (practice.edited(ConsultationStream, code)) {
        record.text = (record.text.index() == 0 ? std::string() : std::get<std::string>(record.text)) + "\r\nAjouté après coup";
        record.details.push_back({0, std::string("Ligne ajoutée après coup")});
    }
    return record;
}

Record prescription(const Practice& practice, const PatientPlan& plan, int code)
{
    Random random = streamFor(practice.seed, PrescriptionStream, std::uint64_t(code));
    Record record;
    record.patient = std::int64_t(plan.code);
    record.when = jetTime(sameMinuteOrOther(random, practice, plan, 60));
    record.doctor = std::int64_t(random.percent(95) ? plan.doctor : 99);
    record.text = random.percent(5) ? Value() : Value("Ordonnance " + std::string(random.pick(kReasons)));
    std::vector<DetailLine> details;
    const int count = random.between(2, 6);
    for (int i = 0; i < count; ++i) {
        DetailLine line;
        line.level = i % 2 == 0 ? 0 : random.between(1, 2);
        line.text = i % 2 == 0 ? std::string(random.pick(kDrugs)) : lines(random, random.between(1, 2), kPosologies);
        details.push_back(std::move(line));
    }
    record.details = std::move(details);
    if (practice.edited(PrescriptionStream, code)) {
        record.details.push_back({0, std::string("PARACÉTAMOL 500 mg cp")});
        record.details.push_back({1, std::string("1 cp si douleur")});
    }
    return record;
}

Record sheet(const Practice& practice, const PatientPlan& plan, int code)
{
    Random random = streamFor(practice.seed, SheetStream, std::uint64_t(code));
    Record record;
    record.patient = std::int64_t(plan.code);
    record.when = jetTime(sameMinuteOrOther(random, practice, plan, 50));
    record.doctor = std::int64_t(random.percent(95) ? plan.doctor : 99);
    record.text = "Fiche de synthèse : " + std::string(random.pick(kHistoryKinds));
    record.details = detailLines(random, random.between(0, 4), kFindings, 2);
    if (practice.edited(SheetStream, code))
        record.details.push_back({0, std::string("Ligne de synthèse ajoutée")});
    return record;
}

void setMissingPatient(const Practice& practice, Record& record, int k)
{
    record.patient = std::int64_t(practice.missingPatientCode(k));
}

class Generator {
public:
    Generator(Practice practice, fs::path out) : m_practice(std::move(practice)), m_out(std::move(out)) {}

    void run()
    {
        fs::create_directories(m_out / "COURRIER");
        fs::create_directories(m_out / "Base");
        // Letters already there with the same bytes are left as they are (their times kept, as a
        // copy of the folder keeps them); the others are removed.
        for (const auto& entry : fs::directory_iterator(m_out / "COURRIER")) {
            std::string name = entry.path().filename().string();
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::toupper(c)); });
            if (entry.is_regular_file() && name.starts_with("COUR") && name.ends_with(".RTF"))
                m_earlierLetters.push_back(entry.path());
        }
        mdbwriter::Writer writer((m_out / "V3.mdb").string());
        doctors(writer);
        functions(writer);
        correspondents(writer);
        patients(writer);
        history(writer);
        headersAndDetails(writer, "CON CONSULTATION", "CON SOUS CONSULTATION", Kind::Consultation);
        headersAndDetails(writer, "ORD ORDONNANCE", "ORD SOUS ORDONNANCE", Kind::Prescription);
        headersAndDetails(writer, "SYN FICHE SYNTHESE", "SYN SOUS FICHE SYNTHESE", Kind::Sheet);
        letters(writer);
        for (const fs::path& earlier : m_earlierLetters)
            if (std::find(m_written.begin(), m_written.end(), earlier) == m_written.end())
                fs::remove(earlier);
        writer.finish();
        configurationFiles();
    }

private:
    enum class Kind { Consultation, Prescription, Sheet };

    void add(mdbwriter::Writer& writer)
    {
        writer.addRow(m_row);
        m_row.clear();
    }

    void doctors(mdbwriter::Writer& writer)
    {
        writer.beginTable("GLB MEDECIN", {{"CODE MEDECIN", ColumnType::Long},
                                          {"NOM", ColumnType::Text, 50},
                                          {"PRENOM", ColumnType::Text, 50},
                                          {"VILLE", ColumnType::Text, 50},
                                          {"ADRESSE", ColumnType::Text, 100},
                                          {"CODE POSTAL", ColumnType::Text, 10},
                                          {"TELEPHONE", ColumnType::Text, 20}});
        for (int code : m_practice.doctorCodes) {
            Random random = streamFor(m_practice.seed, DoctorStream, std::uint64_t(code));
            m_row = {std::int64_t(code), std::string(random.pick(kSurnames)), std::string(random.pick(kFirstNames)),
                     std::string(random.pick(kTowns)), address(random), postalCode(random), phoneNumber(random)};
            add(writer);
        }
    }

    void functions(mdbwriter::Writer& writer)
    {
        writer.beginTable("REF FONCTION", {{"CODE FONCTION", ColumnType::Long}, {"LIBELLE", ColumnType::Text, 50}});
        for (std::size_t i = 0; i < kSpecialities.size(); ++i) {
            m_row = {std::int64_t(i + 1), std::string(kSpecialities[i])};
            add(writer);
        }
    }

    void correspondents(mdbwriter::Writer& writer)
    {
        writer.beginTable("ADR CARNET ADRESSE", {{"CODE CARNET ADRESSE", ColumnType::Long},
                                                 {"CODE FONCTION", ColumnType::Long},
                                                 {"NOM", ColumnType::Text, 50},
                                                 {"PRENOM", ColumnType::Text, 50},
                                                 {"VILLE", ColumnType::Text, 50},
                                                 {"RUE", ColumnType::Text, 100},
                                                 {"CODE POSTAL", ColumnType::Text, 10},
                                                 {"TELEPHONE PERSONNEL", ColumnType::Text, 20},
                                                 {"TELEPHONE PROFESSIONNEL", ColumnType::Text, 20},
                                                 {"FAX", ColumnType::Text, 20},
                                                 {"DIVERS", ColumnType::Memo}});
        for (int code = 1; code <= m_practice.correspondents; ++code) {
            if (!m_practice.correspondentExists(code))
                continue;
            Random random = streamFor(m_practice.seed, CorrespondentStream, std::uint64_t(code));
            const int function = random.between(0, 99);
            Value functionCode = function < 5 ? Value() : function < 10 ? Value(std::int64_t(0))
                               : function < 13 ? Value(std::int64_t(99))
                                               : Value(std::int64_t(random.between(1, int(kSpecialities.size()))));
            Value divers = random.percent(50) ? Value() : Value(lines(random, random.between(1, 3), kFindings));
            m_row = {std::int64_t(code), functionCode, std::string(random.pick(kSurnames)),
                     std::string(random.pick(kFirstNames)), std::string(random.pick(kTowns)), address(random),
                     postalCode(random), phoneNumber(random), phoneNumber(random), phoneNumber(random), divers};
            if (m_practice.edited(CorrespondentStream, code))
                m_row[5] = std::string("3, rue du Changement");
            add(writer);
        }
    }

    Value correspondentReference(Random& random)
    {
        const int choice = random.between(0, 99);
        if (choice < 45)
            return std::monostate{};
        if (choice < 55)
            return std::int64_t(-1);
        if (choice < 58)
            return std::int64_t(m_practice.correspondents + 100 + random.between(0, 4)); // missing
        return std::int64_t(random.between(1, m_practice.correspondents));
    }

    void patients(mdbwriter::Writer& writer)
    {
        std::vector<Column> columns = {{"CODE PATIENT", ColumnType::Long},
                                       {"NOM", ColumnType::Text, 50},
                                       {"PRENOM", ColumnType::Text, 50},
                                       {"DATE NAISSANCE", ColumnType::DateTime},
                                       {"CODE TYPE SEXE", ColumnType::Long},
                                       {"ADRESSE", ColumnType::Text, 255},
                                       {"CODE MEDECIN PROPRIETAIRE", ColumnType::Long},
                                       {"NOM DE NAISSANCE", ColumnType::Text, 50},
                                       {"CODE POSTAL", ColumnType::Text, 10},
                                       {"VILLE", ColumnType::Text, 50},
                                       {"TEL DOMICILE", ColumnType::Text, 20},
                                       {"TEL BUREAU", ColumnType::Text, 20},
                                       {"FAX", ColumnType::Text, 20},
                                       {"NUMERO SECURITE SOCIAL", ColumnType::Text, 25}};
        for (int k = 1; k <= 6; ++k)
            columns.push_back({"CODE CORRESPONDANT " + std::to_string(k), ColumnType::Long});
        writer.beginTable("GLB PATIENT", columns);
        for (int index = 0; index < m_practice.patients; ++index) {
            const PatientPlan plan = planFor(m_practice, index);
            Random random = streamFor(m_practice.seed, PatientStream, std::uint64_t(index) + (1ull << 40));
            const int sexChoice = random.between(0, 99);
            const Value sex = sexChoice < 47 ? Value(std::int64_t(1)) : sexChoice < 94 ? Value(std::int64_t(2))
                            : sexChoice < 96 ? Value(std::int64_t(0)) : sexChoice < 98 ? Value(std::int64_t(3)) : Value();
            const bool woman = sexChoice >= 47 && sexChoice < 94;
            const int birthYear = random.between(1920, 2005);
            Value birth;
            const int birthChoice = random.between(0, 999);
            if (birthChoice < 30) {
                birth = std::monostate{};
            } else if (birthChoice < 33) {
                birth = DateTime{0};
            } else if (birthChoice < 35) {
                birth = DateTime{-1.25};
            } else {
                const int month = random.between(1, 12);
                const int day = random.between(1, 28);
                const int second = random.percent(3) ? random.between(0, 86399) : 0;
                birth = jetTime(atSecond(int(dayNumber(birthYear, month, day)), second));
            }
            Random names = streamFor(m_practice.seed, PatientStream, std::uint64_t(index) + (2ull << 40));
            const std::string surname(names.pick(kSurnames));
            Value maidenName = woman && random.percent(40) ? Value(std::string(random.pick(kSurnames)))
                             : random.percent(5) ? Value(std::string(" ")) : Value(std::string());
            Value owner = random.percent(3) ? Value() : random.percent(2) ? Value(std::int64_t(99)) : Value(std::int64_t(plan.doctor));
            Value addressValue = random.percent(5) ? Value() : Value(address(random));
            m_row = {std::int64_t(plan.code),
                     random.perMille(2) ? Value(std::string()) : Value(surname),
                     std::string(names.pick(kFirstNames)),
                     birth,
                     sex,
                     addressValue,
                     owner,
                     maidenName,
                     postalCode(random),
                     std::string(random.pick(kTowns)),
                     phoneNumber(random),
                     phoneNumber(random),
                     phoneNumber(random),
                     socialSecurityNumber(random, woman, birthYear)};
            std::array<Value, 6> references;
            for (auto& reference : references)
                reference = correspondentReference(random);
            if (random.percent(3))
                references[5] = references[0]; // the same correspondent named twice
            if (m_practice.edited(PatientStream, plan.code)) {
                // Address and postcode corrected, name spelled again, first name completed, and a
                // new correspondent.
                m_row[5] = std::string("12, rue Corrigée");
                m_row[8] = std::string("75011");
                m_row[1] = (m_row[1].index() == 0 ? std::string() : std::get<std::string>(m_row[1])) + " D";
                m_row[2] = std::get<std::string>(m_row[2]) + "-Marie";
                references[5] = std::int64_t(1);
            }
            m_row.insert(m_row.end(), references.begin(), references.end());
            add(writer);
        }
    }

    void history(mdbwriter::Writer& writer)
    {
        writer.beginTable("ANT ANTECEDENT", {{"CODE ANTECEDENT", ColumnType::Long}, {"LIBELLE", ColumnType::Text, 100}});
        for (std::size_t i = 0; i < kHistoryKinds.size(); ++i) {
            m_row = {std::int64_t(i + 1), i == 7 ? Value() : Value(std::string(kHistoryKinds[i]))};
            add(writer);
        }
        struct Item {
            int code;
            int patient;
            Random random;
        };
        const auto forEachItem = [&](auto&& use) {
            int code = 0;
            for (int index = 0; index < m_practice.patients; ++index) {
                const PatientPlan plan = planFor(m_practice, index);
                for (int i = 0; i < plan.history; ++i) {
                    ++code;
                    use(Item{code, plan.code, streamFor(m_practice.seed, HistoryStream, std::uint64_t(code))});
                }
            }
            for (int k = 0; k < m_practice.missingRows; ++k) {
                ++code;
                use(Item{code, m_practice.missingPatientCode(k), streamFor(m_practice.seed, HistoryStream, std::uint64_t(code))});
            }
        };
        writer.beginTable("ANT ANTECEDENT PATIENT", {{"CODE ANTECEDENT PATIENT", ColumnType::Long},
                                                     {"CODE PATIENT", ColumnType::Long},
                                                     {"CODE ANTECEDENT", ColumnType::Long},
                                                     {"DATE", ColumnType::DateTime}});
        forEachItem([&](Item item) {
            const int kind = item.random.percent(2) ? 999 : item.random.between(1, int(kHistoryKinds.size()));
            const int day = item.random.between(int(dayNumber(1960, 1, 1)), m_practice.lastConsultationDay);
            m_row = {std::int64_t(item.code), std::int64_t(item.patient), std::int64_t(kind),
                     jetTime(atSecond(day, item.random.between(0, 86399)))};
            add(writer);
        });
        writer.beginTable("ANT COMMENTAIRE ANTECEDENT PATIENT", {{"CODE ANTECEDENT PATIENT", ColumnType::Long},
                                                                 {"DONNEES", ColumnType::Memo}});
        forEachItem([&](Item item) {
            item.random.between(0, 99); // the kind, drawn as above
            item.random.next();
            item.random.next();
            const int comments = item.random.percent(3) ? 0 : item.random.percent(3) ? 2 : 1;
            for (int c = 0; c < comments; ++c) {
                Value text = item.random.percent(5) ? Value() : item.random.percent(5) ? Value(std::string())
                           : Value(lines(item.random, item.random.between(1, 2), kFindings));
                if (c == 0 && m_practice.edited(HistoryStream, item.code))
                    text = (text.index() == 0 ? std::string() : std::get<std::string>(text)) + " (complété)";
                m_row = {std::int64_t(item.code), text};
                add(writer);
            }
        });
    }

    Record record(Kind kind, const PatientPlan& plan, int j, int code)
    {
        switch (kind) {
        case Kind::Consultation: return consultation(m_practice, plan, j, code);
        case Kind::Prescription: return prescription(m_practice, plan, code);
        case Kind::Sheet: return sheet(m_practice, plan, code);
        }
        return {};
    }

    static int count(Kind kind, const PatientPlan& plan)
    {
        switch (kind) {
        case Kind::Consultation: return int(plan.consultations.size());
        case Kind::Prescription: return plan.prescriptions;
        case Kind::Sheet: return plan.sheets;
        }
        return 0;
    }

    // Every record of one kind with its code, patients first, then the rows of missing patients.
    void forEachRecord(Kind kind, const auto& use)
    {
        int code = 0;
        for (int index = 0; index < m_practice.patients; ++index) {
            const PatientPlan plan = planFor(m_practice, index);
            for (int j = 0; j < count(kind, plan); ++j) {
                ++code;
                if (kind == Kind::Consultation && m_practice.deleted(code))
                    continue;
                use(code, record(kind, plan, j, code));
            }
        }
        const PatientPlan someone = planFor(m_practice, 0);
        for (int k = 0; k < m_practice.missingRows; ++k) {
            ++code;
            Record missing = record(kind, someone, 0, code);
            setMissingPatient(m_practice, missing, k);
            use(code, missing);
        }
    }

    void headersAndDetails(mdbwriter::Writer& writer, const char* headerTable, const char* detailTable, Kind kind)
    {
        const bool sheetNames = kind == Kind::Sheet;
        writer.beginTable(headerTable, {{sheetNames ? "CodeTitre" : "CODETITRE", ColumnType::Long},
                                        {sheetNames ? "code patient" : "CODE PATIENT", ColumnType::Long},
                                        {sheetNames ? "date" : "Date", ColumnType::DateTime},
                                        {"code medecin", ColumnType::Long},
                                        {"DONNEES", ColumnType::Memo}});
        forEachRecord(kind, [&](int code, const Record& r) {
            m_row = {std::int64_t(code), r.patient, r.when, r.doctor, r.text};
            add(writer);
        });
        writer.beginTable(detailTable, {{"CodeTitre", ColumnType::Long},
                                        {"CodeLigne", ColumnType::Long},
                                        {"niveau", ColumnType::Integer},
                                        {"DONNEES", ColumnType::Memo}});
        int line = 0;
        forEachRecord(kind, [&](int code, const Record& r) {
            for (const DetailLine& detail : r.details) {
                m_row = {std::int64_t(code), std::int64_t(++line),
                         detail.level < 0 ? Value() : Value(std::int64_t(detail.level)), detail.text};
                add(writer);
            }
        });
    }

    void letters(mdbwriter::Writer& writer)
    {
        writer.beginTable("COU COURRIER GENERE", {{"CODE COURRIER GENERE", ColumnType::Long},
                                                  {"CODE PATIENT", ColumnType::Long},
                                                  {"NOM FICHIER", ColumnType::Text, 50},
                                                  {"LIBELLE", ColumnType::Text, 80},
                                                  {"DATE", ColumnType::DateTime}});
        int code = 0;
        const auto letter = [&](int patient, const std::string& patientName, Random& random, const PatientPlan& plan) {
            ++code;
            char base[16];
            std::snprintf(base, sizeof base, "COUR%06d", code);
            const bool edited = m_practice.edited(LetterStream, code);
            const std::string title = std::string(random.pick(kLetterTitles)) + (edited ? " (corrigé)" : "");
            const Seconds when = sameMinuteOrOther(random, m_practice, plan, 40);
            m_row = {std::int64_t(code), std::int64_t(patient), std::string(base), title, jetTime(when)};
            add(writer);
            // A few documents are missing; one has a lower-case extension, one a lower-case name.
            if (code % 50 == 7)
                return;
            std::string fileName = std::string(base) + ".RTF";
            if (code == 3)
                fileName = std::string(base) + ".rtf";
            else if (code == 5)
                fileName = "cour" + std::string(base + 4) + ".RTF";
            writeLetter(m_out / "COURRIER" / fileName, title, patientName, random, edited);
            m_written.push_back(m_out / "COURRIER" / fileName);
        };
        for (int index = 0; index < m_practice.patients; ++index) {
            const PatientPlan plan = planFor(m_practice, index);
            Random random = streamFor(m_practice.seed, LetterStream, std::uint64_t(index));
            Random names = streamFor(m_practice.seed, PatientStream, std::uint64_t(index) + (2ull << 40));
            const std::string surname(names.pick(kSurnames));
            const std::string name = std::string(names.pick(kFirstNames)) + " " + surname;
            for (int i = 0; i < plan.letters; ++i)
                letter(plan.code, name, random, plan);
        }
        const PatientPlan someone = planFor(m_practice, 0);
        for (int k = 0; k < m_practice.missingRows; ++k) {
            Random random = streamFor(m_practice.seed, LetterStream, std::uint64_t(m_practice.patients + k));
            letter(m_practice.missingPatientCode(k), "Patient inconnu", random, someone);
        }
    }

    static std::string rtfText(std::string_view utf8)
    {
        std::string out;
        for (std::size_t i = 0; i < utf8.size();) {
            unsigned char c = static_cast<unsigned char>(utf8[i]);
            unsigned code = c;
            int length = 1;
            if (c >= 0xF0) {
                length = 4;
                code = '?';
            } else if (c >= 0xE0) {
                length = 3;
                code = ((c & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
            } else if (c >= 0xC0) {
                length = 2;
                code = ((c & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
            }
            i += std::size_t(length);
            if (code == '\\' || code == '{' || code == '}') {
                out += '\\';
                out += char(code);
            } else if (code < 0x80) {
                out += char(code);
            } else if (code < 0x100) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\'%02x", code);
                out += escaped;
            } else {
                out += "\\u" + std::to_string(int(std::int16_t(code))) + "?";
            }
        }
        return out;
    }

    static void writeLetter(const fs::path& path, const std::string& title, const std::string& patient, Random& random,
                            bool edited)
    {
        std::string body = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\froman Times New Roman;}}\r\n"
                           "\\f0\\fs24\\pard\\qc\\b "
                           + rtfText(title) + "\\b0\\par\r\n\\pard\\par\r\nConcerne : " + rtfText(patient)
                           + "\\par\r\n\\par\r\nCher confr\\'e8re,\\par\r\n";
        const int paragraphs = random.between(1, 4);
        for (int i = 0; i < paragraphs; ++i) {
            const std::string finding(random.pick(kFindings));
            const std::string reason(random.pick(kReasons));
            body += rtfText(finding) + ". " + rtfText(reason) + ".\\par\r\n";
        }
        if (edited)
            body += "Version revue.\\par\r\n";
        body += "\\par\r\nBien confraternellement.\\par\r\n}\r\n";
        if (fs::is_regular_file(path)) {
            std::ifstream earlier(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(earlier)), std::istreambuf_iterator<char>());
            if (bytes == body)
                return;
        }
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << body;
        if (!file)
            throw mdbwriter::WriteError("cannot write " + path.string());
    }

    void configurationFiles()
    {
        // Values that a demonstration overwrites with its own server and credentials.
        writeText(m_out / "Base" / "Kestrune.ver", "[DBKERNEL]\r\nDatabaseName=TALMEROSIN\r\nServerName=localhost\r\n"
                                                    "SAPW=\r\nUserName=sa\r\n");
        writeText(m_out / "Base" / "EDITOR.INI", "[General]\r\nVersion=3.2\r\nLangue=FR\r\n\r\n"
                                                  "[DataBases]\r\nPATIENTS=Dossiers patients\r\nMOTCONSU=Consultations\r\n"
                                                  "ANTECED=Antecedents\r\nORDONNANCES=Prescriptions medicales\r\n"
                                                  "LETTERS=Courriers\r\n\r\n[Fenetres]\r\nOrdonnance=0,0,640,480\r\n");
    }

    static void writeText(const fs::path& path, const std::string& text)
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << text;
        if (!file)
            throw mdbwriter::WriteError("cannot write " + path.string());
    }

    static std::string address(Random& random)
    {
        std::string text = std::to_string(random.between(1, 180));
        if (random.percent(10))
            text += " bis";
        return text + ", " + std::string(random.pick(kStreets));
    }

    static Value postalCode(Random& random)
    {
        if (random.percent(4))
            return std::monostate{};
        const int department = random.between(1, 95);
        char text[8];
        std::snprintf(text, sizeof text, "%02d%03d", department == 20 ? 21 : department, random.between(0, 99) * 10);
        return std::string(text);
    }

    Practice m_practice;
    fs::path m_out;
    std::vector<Value> m_row;
    std::vector<fs::path> m_earlierLetters;
    std::vector<fs::path> m_written; // the letters of this practice
};

int usage()
{
    std::fprintf(stderr, "usage: make-practice --out DIR [--patients N] [--seed S] [--edits PERMILLE]\n"
                         "  writes DIR/V3.mdb, DIR/COURRIER/*.RTF and DIR/Base/{Kestrune.ver,EDITOR.INI}\n"
                         "  N patients (default 100), seed S (default 1); the same arguments give the same files\n"
                         "  --edits PERMILLE: that many records in a thousand edited as after a first import\n");
    return 2;
}

bool number(const char* text, long long& value)
{
    const std::string_view view(text);
    const auto result = std::from_chars(view.data(), view.data() + view.size(), value);
    return result.ec == std::errc() && result.ptr == view.data() + view.size();
}

} // namespace

int main(int argc, char** argv)
{
    std::string out;
    long long patients = 100, seed = 1, edits = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (i + 1 >= argc)
            return usage();
        if (option == "--out")
            out = argv[++i];
        else if (option == "--patients" && number(argv[i + 1], patients) && patients >= 1 && patients <= 1'000'000)
            ++i;
        else if (option == "--seed" && number(argv[i + 1], seed))
            ++i;
        else if (option == "--edits" && number(argv[i + 1], edits) && edits >= 0 && edits <= 1000)
            ++i;
        else
            return usage();
    }
    if (out.empty())
        return usage();

    Practice practice;
    practice.seed = std::uint64_t(seed);
    practice.patients = int(patients);
    practice.doctorCodes = {1, 2, 5, 8};
    practice.correspondents = std::clamp(int(patients / 10), 20, 3000);
    practice.firstConsultationDay = int(dayNumber(1996, 1, 1));
    practice.lastConsultationDay = int(dayNumber(2008, 12, 31));
    practice.missingRows = std::max(1, int(patients / 500));
    practice.editsPerMille = int(edits);
    try {
        Generator(practice, out).run();
    } catch (const mdbwriter::WriteError& error) {
        std::fprintf(stderr, "make-practice: %s\n", error.what());
        return 1;
    } catch (const fs::filesystem_error& error) {
        std::fprintf(stderr, "make-practice: %s\n", error.what());
        return 1;
    }
    return 0;
}
