# Installation and packages.
#
# Linux (the Debian package "quarv", cpack -G DEB): the programs in /usr/lib/quarv, their
# settings in /etc/quarv (conffiles), each reached through a link beside its executable,
# since the programs read their settings file from their own directory; the units (disabled)
# in /lib/systemd/system, among them the templates quarvagent@.service and .timer for one agent
# per source, with the example of a source's settings in /etc/quarv/agents; the documents in /usr/share/doc/quarv. The maintainer scripts in
# packaging/debian add the system user "quarv" and stop everything before removal.
#
# Windows (cpack -G ZIP in a mingw32 build): one folder with both programs, their settings
# files, install.cmd and uninstall.cmd (the service and its event log source) and the guides.
#
# The settings files installed are the examples of packaging/ with an empty PASSWORD, so that
# the service refuses to start until the administrator has chosen one, and TLS=Yes as there.
if(NOT TARGET QuarvSvc OR NOT TARGET QuarvAgent)
  return()
endif()

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(generated_dir ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${generated_dir}/links)

# The example settings as installed: PASSWORD emptied; on Windows a drive path as BASE and CR LF
# line ends. On Linux the service's certificate and key go to /var/lib/quarv: their default place
# beside the executable would be /usr/lib/quarv (the settings link lies there), which the unit
# does not let the service write; its StateDirectory= does.
function(quarv_installed_settings file windows_base)
  file(READ ${packaging_dir}/${file} text)
  string(REGEX REPLACE "\nPASSWORD=[^\n]*" "\nPASSWORD=" text "${text}")
  if(WIN32)
    string(REPLACE "\\" "\\\\" windows_base "${windows_base}")  # a backslash in a replacement
    string(REGEX REPLACE "\nBASE=[^\n]*" "\nBASE=${windows_base}" text "${text}")
    string(REGEX REPLACE "\r?\n" "\r\n" text "${text}")
  else()
    string(REGEX REPLACE "\nCERTIFICATE=[^\n]*" "\nCERTIFICATE=/var/lib/quarv/QuarvSvc.crt"
           text "${text}")
    string(REGEX REPLACE "\nKEY=[^\n]*" "\nKEY=/var/lib/quarv/QuarvSvc.key" text "${text}")
  endif()
  file(WRITE ${generated_dir}/${file} "${text}")
endfunction()
quarv_installed_settings(QuarvSvc.ini "C:\\Quarv\\Outbox")
quarv_installed_settings(QuarvAgent.ini "C:\\Quarv\\Inbox")

# The annotated example of one source's settings for quarvagent@NAME (Linux): the installed
# QuarvAgent.ini with a header of its own and the instance's default BASE. Named .sample so that
# it is no source's settings file: quarvagent@example finds no example.ini, and a loop over
# agents/*.ini leaves it out.
function(quarv_agent_instance_example)
  file(READ ${generated_dir}/QuarvAgent.ini text)
  string(FIND "${text}" "\n[AGENT]" keys)
  string(REGEX REPLACE "\nBASE=[^\n]*" "\nBASE=/srv/quarv/inbox/NAME" keys_text "${text}")
  if(keys EQUAL -1 OR keys_text STREQUAL text)
    message(FATAL_ERROR "packaging/QuarvAgent.ini: no [AGENT] section or no BASE line")
  endif()
  string(FIND "${keys_text}" "\n[AGENT]" keys)
  string(SUBSTRING "${keys_text}" ${keys} -1 keys_text)
  file(READ ${packaging_dir}/agents-example-header.ini header)
  file(WRITE ${generated_dir}/example.ini.sample "${header}${keys_text}")
endfunction()
if(NOT WIN32)
  quarv_agent_instance_example()
endif()

set(CPACK_PACKAGE_NAME quarv)
set(CPACK_PACKAGE_VENDOR "Quarv")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quarv maintainers <maintainers@quarv.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "authenticated file transfer: file service and fetch agent")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS QuarvSvc QuarvAgent RUNTIME DESTINATION .)
  install(FILES ${generated_dir}/QuarvSvc.ini ${generated_dir}/QuarvAgent.ini
                ${packaging_dir}/windows/install.cmd ${packaging_dir}/windows/uninstall.cmd
                ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/windows.md
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quarv-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  install(TARGETS QuarvSvc QuarvAgent RUNTIME DESTINATION lib/quarv)
  install(FILES ${generated_dir}/QuarvSvc.ini ${generated_dir}/QuarvAgent.ini
          DESTINATION /etc/quarv PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
  foreach(file QuarvSvc.ini QuarvAgent.ini)
    file(CREATE_LINK /etc/quarv/${file} ${generated_dir}/links/${file} SYMBOLIC)
    install(FILES ${generated_dir}/links/${file} DESTINATION lib/quarv)
  endforeach()
  install(FILES ${generated_dir}/example.ini.sample DESTINATION /etc/quarv/agents
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(FILES ${packaging_dir}/quarvsvc.service ${packaging_dir}/quarvagent.service
                ${packaging_dir}/quarvagent.timer ${packaging_dir}/quarvagent@.service
                ${packaging_dir}/quarvagent@.timer
          DESTINATION /lib/systemd/system)
  # Debian's changelog, compressed as its policy wants it.
  execute_process(COMMAND gzip -9 -n -c ${packaging_dir}/debian/changelog
                  OUTPUT_FILE ${generated_dir}/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/SECURITY.md
                ${packaging_dir}/debian/copyright ${generated_dir}/changelog.gz
          DESTINATION share/doc/quarv)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/quarv/docs)

  set(CPACK_GENERATOR DEB)
  set(CPACK_SET_DESTDIR ON)  # the /etc and /lib destinations are absolute
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  # The extended description; CPack puts the summary before it and indents it.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "QuarvSvc serves the plain files of one directory to at most ten\n"
      "clients over a small authenticated line protocol on TCP. QuarvAgent\n"
      "fetches what is missing, with resume and an MD5 check, and runs on\n"
      "a schedule through a systemd timer.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${packaging_dir}/debian/postinst ${packaging_dir}/debian/prerm
      ${packaging_dir}/debian/postrm ${packaging_dir}/debian/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
