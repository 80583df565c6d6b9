// The members of the control file's groups, listed once. The run parameters,
// the control-file reader, the library's tsrecon::Settings and its
// conversions, and the Python package are generated from this list.
//
// TSRECON_CONTROL_MEMBERS(SETTING, OTHER) expands, group by group in the
// order the program reads and lists them, to
//   SETTING(type, NAME, name, GROUP, default)
// for a member that shapes the reconstruction (tsrecon::Settings::name), and
//   OTHER(type, NAME, name, GROUP, default)
// for a member the control file holds but the library's settings do not
// (NDEF is the number of tsrecon::Settings::excluded_bands; the others are
// accepted without effect). `type` is the member's type in the control file
// (4-byte and 1-byte integers, the 8-byte real), `default` its value when
// the file does not set it.
//
// This header stands alone (it is installed beside tsrecon/tsrecon.h, which
// includes it): no include, no namespace, nothing but the list.
#pragma once

#define TSRECON_CONTROL_MEMBERS(SETTING, OTHER)                                                  \
  OTHER(int32_t, NDAT, ndat, DATA, 0)     /* accepted; becomes NB */                             \
  SETTING(int32_t, NFUNC, nfunc, DATA, 6) /* harmonic pairs of the model (0..6) */               \
  OTHER(int32_t, NDEF, ndef, DATA, 0)     /* band-number records after the groups */             \
  OTHER(int32_t, ISPOT, ispot, DATA, 0)   /* accepted; no effect */                              \
  SETTING(int32_t, NWIN, nwin, CONTRL, 3) /* half width of the envelope filter window (0..) */   \
  SETTING(int32_t, INTP, intp, CONTRL, 0) /* 1: the preliminary series is a product (i.bsq) */   \
  OTHER(int8_t, SELECT, select, CONTRL, 1) /* accepted; no effect */                             \
  SETTING(int32_t, MMSW, mmsw, CONTRL, 1) /* > 0: envelope filter on */                          \
  /* screening threshold magnitude; the default is the 4-byte real 0.15 widened */              \
  SETTING(double, TCLD, tcld, CONTRL, static_cast<double>(0.15f))                                \
  SETTING(int8_t, FITSW, fitsw, CONTRL, 1) /* > 0: only samples of status 1 enter the final fit */ \
  SETTING(int32_t, MASK, mask, CONTRL, 0)  /* 1: the mask cube gives the sample weights */       \
  SETTING(int8_t, FITMD, fitmd, CONTRL, 0) /* threshold mode and envelope filter kind */         \
  SETTING(int32_t, NPOINT, npoint, NPT, 46) /* time steps per cycle of the first harmonic (1..) */

// An expansion that drops its members, for the argument a use leaves out.
#define TSRECON_SKIP_MEMBER(type, NAME, name, GROUP, value)
