/* The code-table dictionary library VLTABW64.dll / VLTABW32.dll, as an
   application calls it. Every export returns a 16-bit result: 0 success,
   12 unknown table, 14 out of memory (call again later), 15 bad argument,
   255 not found. The load status reports where the tables come from: 0 the
   file DICO-FR.QUV; 2 no file, 6 unreadable file, 18 bad checksum, 20 bad
   line: in those cases the library's built-in copy answers.
   Text buffers must hold VLTAB_TEXT_SIZE bytes. */
#ifndef VLTAB_H
#define VLTAB_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define VLTAB_CALL __stdcall
#else
#define VLTAB_CALL
#endif

#define VLTAB_TEXT_SIZE 516

/* Ordinal 1. */
unsigned short VLTAB_CALL QUVTAB_VersionTables(unsigned short *loadStatus, char *version, char *checksum,
                                               unsigned short *tableCount);
/* Ordinal 2. */
unsigned short VLTAB_CALL QUVTAB_InfosSurTable(unsigned short *loadStatus, char *table, char *tableTitle,
                                               char *fieldTitle, unsigned short *recordCount,
                                               unsigned short *largestRecordSize);
/* Ordinal 3. */
unsigned short VLTAB_CALL QUVTAB_LectureLibelle(unsigned short *loadStatus, char *table, char *key1,
                                                char *key2, char *key3, unsigned short *labelLength,
                                                char *label);
/* Ordinal 4. */
unsigned short VLTAB_CALL QUVTAB_LectureEnregistrement(unsigned short *loadStatus, char *table,
                                                       unsigned short recordNumber, char *key1, char *key2,
                                                       char *key3, unsigned short *labelLength, char *label);
/* Ordinal 5. target holds length + 1 bytes; it may be source itself. */
unsigned short VLTAB_CALL QUVTAB_ISO8859EnEditable(const unsigned char *source, unsigned short length,
                                                   unsigned char *target);

typedef unsigned short(VLTAB_CALL *PFN_QUVTAB_VersionTables)(unsigned short *, char *, char *,
                                                             unsigned short *);
typedef unsigned short(VLTAB_CALL *PFN_QUVTAB_InfosSurTable)(unsigned short *, char *, char *, char *,
                                                             unsigned short *, unsigned short *);
typedef unsigned short(VLTAB_CALL *PFN_QUVTAB_LectureLibelle)(unsigned short *, char *, char *, char *,
                                                              char *, unsigned short *, char *);
typedef unsigned short(VLTAB_CALL *PFN_QUVTAB_LectureEnregistrement)(unsigned short *, char *, unsigned short,
                                                                     char *, char *, char *, unsigned short *,
                                                                     char *);
typedef unsigned short(VLTAB_CALL *PFN_QUVTAB_ISO8859EnEditable)(const unsigned char *, unsigned short,
                                                                 unsigned char *);

#ifdef __cplusplus
}
#endif

#endif
