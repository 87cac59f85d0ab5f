/*
 * The interface's version: what kovaAPIGetAPIVersion returns and what the
 * tools' --version prints. dkms.conf's PACKAGE_VERSION and kovactl.1 carry
 * the same text; scripts/check-layers checks that they agree.
 */
#ifndef KOVA_VERSION_H
#define KOVA_VERSION_H

#define KOVA_API_VERSION "4.6.360"

#endif /* KOVA_VERSION_H */
